#include "station/download_recorder.h"

#include <gtest/gtest.h>

namespace {

// A failure whose words are `text` as it is (the database's own message).
RecordFailure W(const char* text) {
    return {.code = RecordFailure::Code::kConnection, .detail = text};
}

// What a catch-up found, in the words of the log, and its colour.
TEST(DownloadRecorder, WordsTheCatchUpsNotes) {
    using Kind = CompletionNote::Kind;
    const std::string at = "2026-12-07T16:42:04.000Z";
    const std::string refused = "\t- The record of the download refused at " + at + " (usb-1-2) ";
    const struct {
        CompletionNote note;
        std::string text;
        bool ok;
    } cases[] = {
        {{Kind::kNotDrained, 0, {}, {}, W("busy"), {}, 0},
         "\t- The records kept for later cannot be written now: busy",
         false},
        {{Kind::kNotLocked, 0, {}, {}, W("timeout"), "/c/records.journal", 0},
         "\t- The records kept for later in /c/records.journal cannot be written now: timeout",
         false},
        {{Kind::kJournal, 0, {}, {}, W("set aside"), {}, 0}, "\t- set aside", false},
        {{Kind::kNotOwnRefusal, 0, at, "usb-1-2", {}, {}, 0},
         refused + "is not a refusal of this station's: it is not written",
         false},
        {{Kind::kRefusalStillKept, 0, at, "usb-1-2", W("gone"), {}, 0},
         refused + "is still kept for later: gone",
         false},
        {{Kind::kRefusalGivenUp, 0, at, "usb-1-2", W("no"), {}, 0},
         refused + "cannot be written: no",
         false},
        {{Kind::kRefusalKept, 0, at, "usb-1-2", W("no"), {}, 0},
         refused + "cannot be written yet: no (kept for later)",
         false},
        {{Kind::kRefusalWritten, 9, at, "usb-1-2", {}, {}, 0},
         refused + "is written now: download #9",
         true},
        {{Kind::kStillKept, 4, {}, {}, W("gone"), {}, 0},
         "\t- The record of download #4 is still kept for later: gone",
         false},
        {{Kind::kGivenUp, 4, {}, {}, W("no"), {}, 0},
         "\t- The record of download #4 cannot be completed: no",
         false},
        {{Kind::kKept, 4, {}, {}, W("no"), {}, 0},
         "\t- The record of download #4 cannot be completed yet: no (kept for later)",
         false},
        {{Kind::kComplete, 4, {}, {}, {}, {}, 0},
         "\t- The record of download #4 is complete now",
         true},
        {{Kind::kRunningUnread, 0, {}, {}, W("locked"), {}, 0},
         "\t- The downloads left running cannot be looked at: locked",
         false},
        {{Kind::kInterrupted, 4, {}, {}, {}, {}, 77},
         "\t- The record of download #4 was left running by process 77, which has ended: "
         "recorded as interrupted, its serial number (if any) used up",
         false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CompletionNoteText(c.note), c.text);
        EXPECT_EQ(CompletionNoteOk(c.note), c.ok) << c.text;
    }
}

// A download's outcome class: the port tells a handshake without an answer apart.
TEST(DownloadRecorder, ClassesEachOutcome) {
    using O = DownloadOutcome;
    const struct {
        O outcome;
        const char* step;
        bool noAccess, noModule;
        const char* cls;
    } cases[] = {
        {O::kSucceeded, "run", false, false, "succeeded"},
        {O::kBadInput, "load", false, true, "refused"},
        {O::kNotRecorded, "take serial number", false, false, "not_recorded"},
        {O::kFailed, "handshake", true, true, "no_access"},
        {O::kStopped, "handshake", false, true, "no_module"},
        {O::kStopped, "handshake", false, false, "stopped"},
        {O::kFailed, "erase", false, true, "failed"},
        {O::kStopped, "write flash", false, false, "stopped"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OutcomeClass(c.outcome, c.step, c.noAccess, c.noModule), c.cls) << c.step;
}

}  // namespace
