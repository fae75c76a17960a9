#include "station/production_line.h"

#include <gtest/gtest.h>

namespace {

using Action = ProductionLine::Action;
const ModuleIdentity kA{"AAA001", "usb-1-1", u"AAA001"};
const ModuleIdentity kB{"BBB002", "usb-1-1", u"BBB002"};
const ModuleIdentity kAElsewhere{"AAA001", "usb-1-2", u"AAA001"};

}  // namespace

// A shift as the bus shows it while the window is idle, a look at a time: each module starts once
// on arrival, stays handled while it is plugged in, and one that passed with this release before
// waits for the operator's word.
TEST(ProductionLine, StartsEachModuleOnceWhileItStaysPlugged) {
    const EarlierPass passed{17, "0x0502"};
    enum Step { kLook, kEnd, kYes, kNo };
    const struct {
        Step step;
        std::optional<ModuleIdentity> module;
        std::optional<EarlierPass> earlier;
        Action action;
    } steps[] = {
        {kLook, std::nullopt, std::nullopt, Action::kNone},  // an empty bus at start
        {kLook, kA, std::nullopt, Action::kStart},           // arrives: programmed at once
        {kEnd, kA, std::nullopt, Action::kNone},
        {kLook, kA, std::nullopt, Action::kNone},  // stays plugged: never again
        {kLook, kA, std::nullopt, Action::kNone},
        {kLook, std::nullopt, std::nullopt, Action::kNext},  // leaves: the next one, please
        {kLook, std::nullopt, std::nullopt, Action::kNone},
        {kLook, kA, passed, Action::kConfirm},  // back again: passed before, so asked
        {kLook, kA, passed, Action::kNone},     // still asking
        {kNo, kA, std::nullopt, Action::kNone},
        {kLook, kA, passed, Action::kNone},         // declined: left alone while plugged
        {kLook, kB, std::nullopt, Action::kStart},  // swapped at once for another module
        {kEnd, kB, std::nullopt, Action::kNone},
        {kLook, kAElsewhere, passed, Action::kConfirm},  // the same UID at another port
        {kYes, kAElsewhere, std::nullopt, Action::kStart},
        {kEnd, kAElsewhere, std::nullopt, Action::kNone},
        {kLook, kAElsewhere, passed, Action::kNone},
        {kYes, kAElsewhere, std::nullopt, Action::kNone},  // an answer nobody asked for
    };
    ProductionLine line;
    int i = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(i++);
        switch (s.step) {
            case kLook:
                EXPECT_EQ(line.IsNew(s.module),
                          s.action == Action::kStart || s.action == Action::kConfirm);
                EXPECT_EQ(line.Look(s.module, s.earlier), s.action);
                break;
            case kEnd:
                line.Ended(s.module);
                break;
            case kYes:
            case kNo:
                EXPECT_EQ(line.Confirmed(s.step == kYes), s.action);
                break;
        }
    }
}

TEST(ProductionLine, WordsAFailureAndTheQuestion) {
    // PASS and its number are the window test's; a failure names its step and its reason.
    EXPECT_EQ(VerdictPanelOf({false, "erase", "Device Erase failed!", std::nullopt}).detail,
              "erase: Device Erase failed!");
    EXPECT_EQ(VerdictPanelOf({false, "handshake", "", std::nullopt}).detail, "handshake");
    EXPECT_EQ(VerdictPanelOf({true, "", "", std::nullopt}).detail, "Programmed");

    ProductionLine line;
    ASSERT_EQ(line.Look(kA, EarlierPass{17, "0x0502"}), Action::kConfirm);
    EXPECT_EQ(line.ConfirmText(),
              "Module AAA001 passed with this release before (download #17, serial number "
              "0x0502). Program it again?");
}
