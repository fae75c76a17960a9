#include "station/window_look.h"

#include <algorithm>
#include <cstdlib>

#include "station/programming_station.h"
#include "station/window_controller.h"

namespace {

using K = ControlKind;
using G = EnableGroup;

constexpr const char* kSnWidths[] = {"1", "2", "3", "4"};

constexpr GlyphLook kBanner{.bitmap = IDB_BANNER, .bitmapKey = 0x000000, .embossDisabled = false};
constexpr GlyphLook kClear{.raised = true, .shadeIn = 30};
constexpr GlyphLook kOpen{.icon = IDI_OPEN, .tooltip = "Open"};
constexpr GlyphLook kReload{.icon = IDI_RELOAD, .tooltip = "Reload"};
constexpr GlyphLook kDownload{.icon = IDI_DOWNLOAD,
                              .imagePlacement = 1,
                              .imageTop = 20,
                              .raised = true,
                              .backOut = 0xC4D89A,
                              .shadeIn = 30};
constexpr GlyphLook kConnection{.icon = IDI_DEVICE_ABSENT};
constexpr LinkLook kLink{.current = 0x326464,
                         .pressed = 0x6464FF,
                         .hover = 0xFF6464,
                         .normal = 0x323264,
                         .transparent = true,
                         .fontHeight = 19,
                         .fontWidth = 9,
                         .weight = 400,
                         .italic = 1,
                         .underline = 1,
                         .face = "Arial"};

constexpr std::uint32_t kCaptionGreen = 0x5A674E;
constexpr std::uint32_t kValueRed = 0x0000FF;

using WL = WindowFieldLimits;
const ControlLook kControls[] = {
    {.id = IDC_VID,
     .kind = K::kEdit,
     .rect = {176, 203, 42, 12},
     .hidden = true,
     .input = ControlInput::kIdentifier,
     .maxLength = WL::kVid},
    {.id = IDC_PID,
     .kind = K::kEdit,
     .rect = {176, 227, 42, 12},
     .hidden = true,
     .input = ControlInput::kIdentifier,
     .maxLength = WL::kPid},
    {.id = IDC_SN_ADDR,
     .kind = K::kEdit,
     .rect = {58, 101, 36, 12},
     .group = G::kSnFields,
     .input = ControlInput::kPlanAddress,
     .maxLength = WL::kSnAddr},
    {.id = IDC_SN_VALUE,
     .kind = K::kEdit,
     .rect = {58, 116, 36, 12},
     .group = G::kSnFields,
     .input = ControlInput::kPlanValue,
     .maxLength = WL::kSnValue},
    {.id = IDC_SN_STEP,
     .kind = K::kEdit,
     .rect = {116, 116, 26, 12},
     .group = G::kSnFields,
     .input = ControlInput::kPlanStep,
     .maxLength = WL::kSnStep},
    {.id = IDC_AUTO_RELOAD,
     .kind = K::kCheckBox,
     .rect = {136, 139, 51, 8},
     .caption = "Auto Reload",
     .group = G::kOpenReload,
     .input = ControlInput::kAutoReload},
    {.id = IDC_CLEAR,
     .kind = K::kGlyphButton,
     .rect = {189, 138, 45, 12},
     .caption = "Clear",
     .input = ControlInput::kClear,
     .glyph = &kClear},
    {.kind = K::kGroupBox, .rect = {161, 182, 66, 63}, .caption = "Bootloader ID", .hidden = true},
    {.kind = K::kText, .rect = {169, 192, 32, 9}, .caption = "VID (hex)", .hidden = true},
    {.kind = K::kText, .rect = {168, 218, 33, 8}, .caption = "PID (hex)", .hidden = true},
    {.id = IDC_PROGRESS, .kind = K::kProgress, .rect = {7, 243, 229, 6}, .hidden = true},
    {.id = IDC_LINK,
     .kind = K::kLink,
     .rect = {143, 27, 91, 10},
     .caption = "pravune.example",
     .link = &kLink},
    {.id = IDC_BANNER,
     .kind = K::kGlyphButton,
     .rect = {7, 4, 228, 34},
     .disabled = true,
     .glyph = &kBanner},
    {.kind = K::kGroupBox, .rect = {7, 80, 140, 52}, .caption = "Serial number"},
    {.kind = K::kText, .rect = {11, 102, 44, 9}, .caption = "Address (hex)"},
    {.kind = K::kText, .rect = {97, 103, 19, 8}, .caption = "Bytes"},
    {.id = IDC_AUTO_SN,
     .kind = K::kCheckBox,
     .rect = {13, 90, 100, 10},
     .caption = "Enable Auto Serial number",
     .group = G::kAutoSn,
     .input = ControlInput::kAutoSn},
    {.kind = K::kText, .rect = {11, 117, 38, 9}, .caption = "SN (hex)"},
    {.kind = K::kText, .rect = {97, 118, 17, 8}, .caption = "Step"},
    {.id = IDC_LOG, .kind = K::kLog, .rect = {7, 152, 228, 93}},
    {.id = IDC_PATH,
     .kind = K::kEdit,
     .rect = {9, 44, 223, 12},
     .group = G::kOpenReload,
     .input = ControlInput::kPath},
    {.id = IDC_LABEL_LENGTH_CAPTION,
     .kind = K::kLabel,
     .rect = {37, 58, 39, 11},
     .caption = "Hex Length:",
     .fore = kCaptionGreen,
     .points = 9},
    {.id = IDC_LABEL_DATE_CAPTION,
     .kind = K::kLabel,
     .rect = {10, 67, 66, 9},
     .caption = "Latest Update Time:",
     .fore = kCaptionGreen,
     .points = 9},
    {.id = IDC_LABEL_LENGTH,
     .kind = K::kLabel,
     .rect = {79, 58, 82, 8},
     .caption = "0 Bytes",
     .fore = kValueRed,
     .points = 9},
    {.id = IDC_LABEL_DATE,
     .kind = K::kLabel,
     .rect = {79, 67, 85, 7},
     .caption = "2011-07-04 13:40:10",
     .fore = kValueRed,
     .points = 9},
    {.kind = K::kGroupBox, .rect = {7, 37, 228, 42}},
    {.id = IDC_SN_BYTES,
     .kind = K::kComboBox,
     .rect = {116, 102, 26, 12},
     .group = G::kSnFields,
     .input = ControlInput::kPlanWidth,
     .items = kSnWidths,
     .listHeight = 44},
    {.id = IDC_STATUS,
     .kind = K::kLabel,
     .rect = {35, 136, 93, 11},
     .caption = "Disconnected",
     .fore = kStatusAbsent,
     .points = 15.75},
    {.kind = K::kGroupBox, .rect = {7, 129, 125, 23}},
    {.id = IDC_OPEN,
     .kind = K::kGlyphButton,
     .rect = {188, 57, 21, 18},
     .group = G::kOpenReload,
     .input = ControlInput::kOpen,
     .glyph = &kOpen},
    {.id = IDC_RELOAD,
     .kind = K::kGlyphButton,
     .rect = {210, 57, 21, 18},
     .group = G::kOpenReload,
     .input = ControlInput::kReload,
     .glyph = &kReload},
    {.id = IDC_DOWNLOAD,
     .kind = K::kGlyphButton,
     .rect = {148, 83, 86, 49},
     .caption = "Download",
     .input = ControlInput::kDownload,
     .glyph = &kDownload},
    {.id = IDC_CONNECTION,
     .kind = K::kGlyphButton,
     .rect = {11, 135, 20, 15},
     .glyph = &kConnection},
};

}  // namespace

std::span<const ControlLook> LoaderControls() {
    return kControls;
}

const ControlLook& LoaderControl(int id) {
    const ControlLook* look = FindLoaderControl(id);
    if (!look)
        std::abort();  // an identifier that is not the window's: a programming error
    return *look;
}

const ControlLook* FindLoaderControl(int id) {
    const auto it = std::find_if(std::begin(kControls), std::end(kControls),
                                 [id](const ControlLook& c) { return c.id == id; });
    return it == std::end(kControls) ? nullptr : &*it;
}

int ConnectionIcon(bool present) {
    return present ? IDI_DEVICE_PRESENT : IDI_DEVICE_ABSENT;
}
