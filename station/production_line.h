#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "device/hid_port.h"

// The production mode's verdict panel: what a window shows large enough to read from across the
// bench.
struct VerdictPanel {
    enum class Kind { kNext, kWait, kPass, kFail };
    Kind kind = Kind::kNext;
    std::string headline;    // "NEXT", "WAIT", "PASS", "FAIL"
    std::string detail;      // what to do, the progress, the number written, or why it failed
    std::uint32_t back = 0;  // the panel's colour (0xRRGGBB)
    bool operator==(const VerdictPanel&) const = default;
};

inline constexpr std::uint32_t kPanelNext = 0x5A6470;  // slate: waiting for the operator
inline constexpr std::uint32_t kPanelWait = 0xE0A000;  // amber: a module is programmed
inline constexpr std::uint32_t kPanelPass = 0x1E8C3C;  // green
inline constexpr std::uint32_t kPanelFail = 0xC8281E;  // red

// A download's end as the panel tells it.
struct DownloadVerdict {
    bool ok = false;
    std::string failedStep;             // the step it failed at
    std::string reason;                 // that step's own text
    std::optional<std::string> serial;  // the number written, as the window shows it ("0x0502")
};

// The panels, each made from what it says.
VerdictPanel NextModulePanel();
VerdictPanel WorkingPanel(const std::string& uid, int percent);
VerdictPanel VerdictPanelOf(const DownloadVerdict& verdict);

// A module this station programmed before with the approved release, as the record has it.
struct EarlierPass {
    std::int64_t download = 0;
    std::optional<std::string> serial;  // the number it got, as the window shows it
};

// What production mode does with the module the bus shows while no download runs: a module is
// started at once when it arrives, never twice while it stays plugged in (nor, without the
// operator's word, when it passed with this release before).
class ProductionLine {
  public:
    enum class Action {
        kNone,     // nothing changed
        kStart,    // program the module now
        kConfirm,  // ask the operator first (ConfirmText): it passed before with this release
        kNext,     // the module left: show NextModulePanel
    };
    // `module`: the module on the bus now, if any; `earlier`: its earlier pass with this release
    // (looked up by the caller for a module this line has not handled).
    Action Look(const std::optional<ModuleIdentity>& module,
                const std::optional<EarlierPass>& earlier);
    // Whether Look needs the record's answer for `module` (a module not yet handled).
    bool IsNew(const std::optional<ModuleIdentity>& module) const;
    // The operator's answer to kConfirm: kStart, or the module is left alone until it leaves.
    Action Confirmed(bool again);
    // The question kConfirm asks.
    std::string ConfirmText() const;
    // The download Look started (or one the operator started) ends: the module is handled.
    void Ended(const std::optional<ModuleIdentity>& module);

  private:
    std::optional<ModuleIdentity> m_handled;  // programmed or declined; still on the bus
    std::optional<ModuleIdentity> m_asking;   // waiting for the operator's word
    std::optional<EarlierPass> m_earlier;
};
