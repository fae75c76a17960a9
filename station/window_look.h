#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "controls/glyph_look.h"
#include "station/window_ids.h"

// The main window's look, which both windows take from here: the dialog's size and font, and
// every control of its template in template order (which is also the tab order, and an earlier
// control lies above a later one) with its identifier, kind, rectangle in dialog units,
// caption, tooltip, colours and pictures. The Qt window builds its controls from this table;
// the Win32 window's template (win/loader.rc) is checked against it by a test.

// Which input a control takes while the window is idle or busy (see WindowEnables).
enum class EnableGroup {
    kFixed,       // never changed after start-up
    kOpenReload,  // Open, Reload, Auto Reload and the path
    kAutoSn,      // the plan's switch
    kSnFields,    // address, width, number, step
};

// The controller's input each control gives (WindowController::OnInput).
enum class ControlInput {
    kNone,
    kIdentifier,  // VID or PID edited
    kPath,
    kOpen,
    kReload,
    kAutoReload,
    kAutoSn,
    kPlanAddress,
    kPlanValue,
    kPlanStep,
    kPlanWidth,
    kDownload,
    kClear,
};

enum class ControlKind {
    kEdit,
    kCheckBox,
    kGlyphButton,  // a push button drawn by the window (picture, colours)
    kGroupBox,
    kText,   // a static text the program never addresses
    kLabel,  // a static text in a colour and size of its own
    kProgress,
    kLink,
    kLog,
    kComboBox,  // a drop-down list
};

struct DialogRect {
    int x = 0, y = 0, cx = 0, cy = 0;
    bool operator==(const DialogRect&) const = default;
};

// A picture button's look, as the window sets it up at start-up.
struct GlyphLook {
    int icon = 0;    // shown as the active picture (LoadIcons), 0: none
    int bitmap = 0;  // or a bitmap, with its transparent colour (LoadBitmaps)
    std::uint32_t bitmapKey = 0;
    bool embossDisabled = true;              // a disabled picture is embossed
    int imagePlacement = -1;                 // -1: the button's own
    int imageTop = 0;                        // the margin above the picture, in pixels at 96 dpi
    bool raised = false;                     // not flat
    std::optional<std::uint32_t> backOut{};  // the normal background
    int shadeIn = 0;                         // the hot background shaded by this much, 0: not
    const char* tooltip = nullptr;
};

// The link's colours and font (pixels at 96 dpi).
struct LinkLook {
    std::uint32_t current = 0, pressed = 0, hover = 0, normal = 0;
    bool transparent = true;
    int fontHeight = 0, fontWidth = 0, weight = 0;
    std::uint8_t italic = 0, underline = 0;
    const char* face = "";
};

struct ControlLook {
    int id = -1;  // -1: a control the program never addresses
    ControlKind kind = ControlKind::kText;
    DialogRect rect;
    const char* caption = "";
    bool hidden = false;
    bool disabled = false;
    EnableGroup group = EnableGroup::kFixed;
    ControlInput input = ControlInput::kNone;  // what an edit, a click or a choice gives
    int maxLength = 0;                         // an edit's longest text, 0: no limit
    // A label's text colour and size in points.
    std::uint32_t fore = 0;
    double points = 0;
    // A drop-down list's entries, and the height of its open list in dialog units (the
    // rectangle is the closed list's).
    std::span<const char* const> items{};
    int listHeight = 0;
    const GlyphLook* glyph = nullptr;
    const LinkLook* link = nullptr;
};

struct DialogLook {
    int cx = 0, cy = 0;  // the client area in dialog units
    const char* font = "";
    int fontPoints = 0;
    const char* labelFont = "";  // the coloured labels' face (each has its own size)
};

inline constexpr DialogLook kLoaderDialog{242, 250, "Arial", 9, "Arial"};

// Production mode widens the window by its panel, to the right of the specified controls: the
// verdict on its colour (a headline of kPanelHeadlinePoints, read from two metres), what it
// means, then the shift's count, the release and the shift's operator.
inline constexpr DialogRect kProductionPanel{244, 4, 190, 242};
inline constexpr int kProductionDialogWidth = 438;
inline constexpr double kPanelHeadlinePoints = 54;
inline constexpr double kPanelDetailPoints = 13;
inline constexpr double kPanelCountPoints = 11;

// The system menu's and the context menu's About item.
inline constexpr const char* kAboutMenuText = "About PRAVUNE Loader(&A)...";
// The labels' background before the window takes the system's button face.
inline constexpr std::uint32_t kStoredLabelBack = 0xECE9D8;

// Every control of the main window, in template order.
std::span<const ControlLook> LoaderControls();
// The control with identifier `id` (every identifier above is in the table).
const ControlLook& LoaderControl(int id);
// The same, or nothing for an identifier that is not the window's own (IDOK, say).
const ControlLook* FindLoaderControl(int id);
// The connection button's icon for a module present or not.
int ConnectionIcon(bool present);

// Sets up a picture button of either window as `look` says; `pixels` scales a length given at
// 96 dpi, `text` makes the button's text from UTF-8.
template <class Button, class Pixels, class Text>
void ApplyGlyphLook(Button& button, const GlyphLook& look, Pixels pixels, Text text) {
    if (!look.embossDisabled)
        button.m_bEmbossDisabledBitmap = false;
    if (look.bitmap)
        button.LoadBitmaps(look.bitmap, look.bitmapKey, 0, 0);
    if (look.icon)
        button.LoadIcons(look.icon, 0);
    if (look.imagePlacement >= 0)
        button.SetImagePlacement(static_cast<std::uint8_t>(look.imagePlacement));
    if (look.raised)
        button.SetFlatStyle(false);
    if (look.imageTop)
        button.SetImageMargins(0, pixels(look.imageTop), 0, 0);
    if (look.backOut)
        button.SetStateColor(glyph::BTNST_COLOR_BK_OUT, *look.backOut);
    if (look.shadeIn)
        button.ShadeStateColor(glyph::BTNST_COLOR_BK_IN, look.shadeIn);
    if (look.tooltip)
        button.SetTipText(text(look.tooltip), true);
}

// Sets up the link of either window as `look` says (`pixels` and `text` as above).
template <class Link, class Pixels, class Text>
void ApplyLinkLook(Link& link, const LinkLook& look, Pixels pixels, Text text) {
    link.m_clrCurrent = look.current;
    link.m_clrPressed = look.pressed;
    link.m_clrHover = look.hover;
    link.m_clrNormal = look.normal;
    link.m_bTransparent = look.transparent;
    link.CreateLinkFont(pixels(look.fontHeight), pixels(look.fontWidth), 0, 0, look.weight,
                        look.italic, look.underline, 0, 0, 0, 0, 0, 0, text(look.face));
    link.StartHoverTimer();
}
