#include "station/release_approval.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "ledger/sha256.h"
#include "tests/support/station_rig.h"

namespace {

std::string Sha(const std::string& bytes) {
    return Sha256Hex(bytes);
}

}  // namespace

// In production mode a download programs only the approved release, as its bytes are on disk
// when the download starts; anything else is refused with one red line naming both hashes
// before any command reaches the module, and recorded as refused at the step "release".
TEST(ReleaseApproval, OnlyTheApprovedFileReachesAModule) {
    const std::string released = ImageText(1), other = ImageText(2);
    enum class Change { kNone, kOther, kReleased };
    const struct {
        const char* name;
        bool production;
        std::string approved;
        bool autoReload;
        const std::string* loaded;  // the file when the station loads it
        Change change;              // the file on disk when the download starts
        std::string refusal;        // the red line's start ("" for a download that programs)
    } cases[] = {
        {"mode_off_programs_anything", false, Sha(released), false, &other, Change::kNone, ""},
        {"approved", true, Sha(released), false, &released, Change::kNone, ""},
        {"approved_after_a_reload", true, Sha(released), true, &other, Change::kReleased, ""},
        {"nothing_approved", true, "", false, &released, Change::kNone,
         "No release is approved: production mode programs only the approved release"},
        {"another_file", true, Sha(released), false, &other, Change::kNone,
         "Not the approved release: approved SHA-256 " + Sha(released) + ", this file " +
             Sha(other)},
        {"auto_reload_takes_no_other_file", true, Sha(released), true, &released, Change::kOther,
         "Not the approved release: approved SHA-256 " + Sha(released) + ", this file " +
             Sha(other)},
        {"changed_on_disk", true, Sha(released), false, &released, Change::kOther,
         "The file changed on disk since it was loaded: approved SHA-256 " + Sha(released) +
             ", on disk " + Sha(other)},
        // The approved bytes on disk do not make a stale image the release.
        {"stale_image", true, Sha(released), false, &other, Change::kReleased,
         "The file changed on disk since it was loaded: approved SHA-256 " + Sha(released) +
             ", on disk " + Sha(released)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(std::string("AutoReload=") + (c.autoReload ? "1" : "0") + "\nProductionMode=" +
                  (c.production ? "1" : "0") + "\nApprovedSha256=" + c.approved + "\n",
              *c.loaded);
        const std::string hex = r.folderPath + "/fw.hex";
        if (c.change != Change::kNone)
            std::ofstream(hex, std::ios::binary) << (c.change == Change::kOther ? other : released);
        const bool ok = r.station.Download();
        if (c.refusal.empty()) {
            EXPECT_TRUE(ok);
            continue;
        }
        EXPECT_FALSE(ok);
        EXPECT_TRUE(r.module.commands().empty());
        const std::vector<std::string> lines = r.rec.Lines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], c.refusal + " (nothing was sent)");
        const auto red = std::find_if(r.rec.log.begin(), r.rec.log.end(), [&](const LogEntry& e) {
            return e.text == c.refusal + " (nothing was sent)\r\n";
        });
        ASSERT_NE(red, r.rec.log.end());
        EXPECT_EQ(red->color, kLogRed);
        EXPECT_EQ(r.station.LastRecordOutcome(), "refused");
        EXPECT_EQ(r.station.LastRecord().failedStep, "release");
        EXPECT_EQ(r.station.LastRecord().statusText, c.refusal + " (nothing was sent)");
    }
}
