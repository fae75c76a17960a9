#include "station/production_line.h"

VerdictPanel NextModulePanel() {
    return {VerdictPanel::Kind::kNext, "NEXT", "Plug in the next module", kPanelNext};
}

VerdictPanel WorkingPanel(const std::string& uid, int percent) {
    return {VerdictPanel::Kind::kWait, "WAIT",
            "Programming " + (uid.empty() ? std::string("the module") : uid) + " ... " +
                std::to_string(percent) + "%",
            kPanelWait};
}

VerdictPanel VerdictPanelOf(const DownloadVerdict& verdict) {
    if (verdict.ok)
        return {VerdictPanel::Kind::kPass, "PASS",
                verdict.serial ? "Serial number " + *verdict.serial : "Programmed", kPanelPass};
    std::string why = verdict.failedStep.empty() ? std::string("failed") : verdict.failedStep;
    if (!verdict.reason.empty())
        why += ": " + verdict.reason;
    return {VerdictPanel::Kind::kFail, "FAIL", why, kPanelFail};
}

bool ProductionLine::IsNew(const std::optional<ModuleIdentity>& module) const {
    return module && module != m_handled && module != m_asking;
}

ProductionLine::Action ProductionLine::Look(const std::optional<ModuleIdentity>& module,
                                            const std::optional<EarlierPass>& earlier) {
    if (!module) {
        const bool left = m_handled || m_asking;
        m_handled.reset();
        m_asking.reset();
        return left ? Action::kNext : Action::kNone;
    }
    if (module == m_handled || module == m_asking)
        return Action::kNone;
    // Another module where the last one was: that one has left.
    m_handled.reset();
    m_asking.reset();
    if (earlier) {
        m_asking = module;
        m_earlier = earlier;
        return Action::kConfirm;
    }
    return Action::kStart;
}

ProductionLine::Action ProductionLine::Confirmed(bool again) {
    if (!m_asking)
        return Action::kNone;
    if (again) {
        m_asking.reset();
        return Action::kStart;
    }
    m_handled = m_asking;
    m_asking.reset();
    return Action::kNone;
}

std::string ProductionLine::ConfirmText() const {
    const std::string uid = m_asking ? Latin1ToUtf8(m_asking->uid) : std::string();
    std::string text = "Module " + uid + " passed with this release before (download #" +
                       std::to_string(m_earlier ? m_earlier->download : 0);
    if (m_earlier && m_earlier->serial)
        text += ", serial number " + *m_earlier->serial;
    return text + "). Program it again?";
}

void ProductionLine::Ended(const std::optional<ModuleIdentity>& module) {
    m_handled = module;
    m_asking.reset();
}
