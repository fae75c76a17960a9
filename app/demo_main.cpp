// The loader's window wired to a virtual module instead of hardware: one module present that
// answers like a real one, a few milliseconds per answer, beside two other HID devices. For
// trying the loader, and showing it, without a module. Until a HEX file is chosen it opens the
// sample application that comes with the loader.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/loader_app.h"
#include "settings/settings_store.h"
#include "sim/sim_hid_platform.h"
#include "station/window_options.h"

namespace {

constexpr const char* kSampleFile = "pravune-sample.hex";

// The sample: beside the executable in the build tree, or where an installation puts it.
std::string FindSample(const std::string& exeDir) {
    for (const std::string& candidate :
         {exeDir + "/" + kSampleFile,
          exeDir + "/../share/pravune-loader/examples/" + kSampleFile}) {
        std::error_code ec;
        if (!std::filesystem::is_regular_file(candidate, ec))
            continue;
        std::filesystem::path full = std::filesystem::weakly_canonical(candidate, ec);
        return ec ? candidate : full.string();
    }
    return {};
}

// Stores the sample's path as the HEX file in the demo's config.ini when none is named there, so
// that the window opens with an image loaded.
void NameSampleWhenNoFile(const std::string& config) {
    const std::string exeDir = ExecutableDirectory();
    if (exeDir.empty() || !settings_file::Read(config, "SETTING", "m_strPath_flash", "").empty())
        return;
    const std::string sample = FindSample(exeDir);
    if (sample.empty()) {
        std::fprintf(stderr, "pravune-loader-demo: the sample %s was not found\n", kSampleFile);
        return;
    }
    std::string reason;
    if (!settings_file::Write(config, "SETTING", "m_strPath_flash", sample, &reason))
        std::fprintf(stderr, "pravune-loader-demo: cannot write %s: %s\n", config.c_str(),
                     reason.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    ConfigLocation where;
    if (std::optional<int> exitCode = AnswerCommandLine(
            argc, argv,
            {"pravune-loader-demo",
             "The loader's window on a virtual module, for trying it without hardware. When its\n"
             "config.ini names no HEX file, it opens the sample application "
             "pravune-sample.hex.\n"},
            where))
        return *exitCode;
    NameSampleWhenNoFile(where.path);
    CLoaderApp app(argc, argv);
    app.setApplicationName(QStringLiteral("pravune-loader-demo"));
    VirtualBootloader module("DEMO01");
    module.faults.answerMicros = 3000;
    SimHidPlatform platform;
    platform.AddDecoy(0x046D, 0xC31C);  // a keyboard
    platform.AddModule(module);
    platform.AddDecoy(0x046D, 0xC077);  // a mouse
    return app.Run(platform, where);
}
