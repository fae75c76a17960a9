#include "cli/check.h"

#include <string>
#include <vector>

#include "cli/exit_code.h"
#include "cli/module_run.h"
#include "image/serial_number.h"
#include "ledger/file_sha256.h"

int Check(const Options& o, HidPlatform& platform, Printer& out) {
    Job job(o, platform, out, "check");
    ProgrammingStation& st = job.station();
    if (st.SettingsUnreadable()) {
        out.Event({{"event", "check"}, {"ok", false}, {"file", st.Path()}},
                  "config.ini cannot be read: no plan to check");
        return kExitUsage;
    }
    const bool loaded = st.LoadHexFile(st.Path());
    const HexImage& image = st.Image();
    const bool fits = loaded && st.PlanFits();
    // In production mode only the approved release passes.
    const std::optional<ReleaseCheck> release =
        loaded ? st.CheckApproval() : std::optional<ReleaseCheck>();
    const bool approved = !release || release->ok();
    nlohmann::json event = {{"event", "check"},
                            {"ok", loaded && fits && approved},
                            {"file", st.Path()},
                            {"loaded", loaded},
                            {"status", loaded ? std::string() : st.LoadFailureText()},
                            {"plan_fits", fits},
                            {"plan", nullptr},
                            {"release", nullptr}};
    std::vector<std::string> text{st.Path() + ": "};
    if (loaded) {
        const std::string sha = SentImageSha256(image);
        const std::string fileSha = HexFileSha256(st.Path(), image);
        event["format"] = image.makerFormat ? "maker" : "plain";
        event["start"] = image.start;
        event["end"] = image.end;
        event["sha256"] = sha;
        event["file_sha256"] = fileSha;
        text[0] += std::string(image.makerFormat ? "maker" : "plain") + " image 0x" +
                   HexUpper(image.start) + " ~ 0x" + HexUpper(image.end > 0 ? image.end - 1 : 0);
        text.push_back("  image SHA-256 " + sha);
        text.push_back("  file SHA-256  " + fileSha);
    } else {
        text[0] += "refused: " + st.LoadFailureText();
    }
    if (const SerialPlanNumbers& sn = st.Plan().Numbers(); sn.on && !image.makerFormat) {
        event["plan"] = {
            {"address", sn.address}, {"width", sn.width}, {"value", sn.value}, {"step", sn.step}};
        text.push_back("  serial number at 0x" + HexUpper(sn.address) + ", " +
                       std::to_string(sn.width) + " bytes, next 0x" + HexUpper(sn.value) +
                       (fits     ? ": fits"
                        : loaded ? ": does not fit: " + job.observer().FirstRedLine()
                                 : ": not checked"));
    } else {
        text.push_back("  no serial number is written");
    }
    if (release) {
        static constexpr const char* kKinds[] = {"approved", "none_approved", "other_file",
                                                 "changed"};
        event["release"] = {{"verdict", kKinds[static_cast<int>(release->kind)]},
                            {"approved_sha256", release->approved}};
        const std::string refusal = ReleaseRefusalText(*release);
        text.push_back(release->ok() ? "  the approved release"
                                     : "  " + refusal.substr(0, refusal.size() - 2));
    }
    out.Event(event, text);
    return loaded && fits && approved ? kExitOk : kExitUsage;
}
