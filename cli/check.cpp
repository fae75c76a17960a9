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
        out.Event({{"event", "check"}, {"ok", false}, {"file", st.m_strPath}},
                  "config.ini cannot be read: no plan to check");
        return kExitUsage;
    }
    const bool loaded = st.LoadHexFile(st.m_strPath);
    const HexImage& image = st.Image();
    const bool fits = loaded && st.PlanFits();
    nlohmann::json event = {{"event", "check"},
                            {"ok", loaded && fits},
                            {"file", st.m_strPath},
                            {"loaded", loaded},
                            {"status", loaded ? std::string() : st.m_strStatus},
                            {"plan_fits", fits},
                            {"plan", nullptr}};
    std::vector<std::string> text{st.m_strPath + ": "};
    if (loaded) {
        const std::string sha = SentImageSha256(image);
        const std::string fileSha = HexFileSha256(st.m_strPath, image);
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
        text[0] += "refused: " + st.m_strStatus;
    }
    if (st.m_bAutoSN && !image.makerFormat) {
        event["plan"] = {{"address", st.m_nSnAddr},
                         {"width", st.m_nSnBytes},
                         {"value", st.m_nSnValue},
                         {"step", st.m_nSnStep}};
        text.push_back("  serial number at 0x" + HexUpper(st.m_nSnAddr) + ", " +
                       std::to_string(st.m_nSnBytes) + " bytes, next 0x" + HexUpper(st.m_nSnValue) +
                       (fits     ? ": fits"
                        : loaded ? ": does not fit: " + job.observer().FirstRedLine()
                                 : ": not checked"));
    } else {
        text.push_back("  no serial number is written");
    }
    out.Event(event, text);
    return loaded && fits ? kExitOk : kExitUsage;
}
