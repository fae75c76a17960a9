// pravune-loader-demo.exe: the loader's window wired to a virtual module instead of hardware:
// one module present that answers like a real one, a few milliseconds per answer, beside two
// other HID devices. Until a HEX file is chosen it opens the sample application beside it.
#include <cstdio>

#include "settings/settings_store.h"
#include "sim/sim_hid_platform.h"
#include "win/loader_app.h"

int main() {
    ConfigLocation where;
    if (std::optional<int> exitCode = AnswerWindowCommandLine(
            {"pravune-loader-demo",
             "The loader's window on a virtual module, for trying it without hardware. When its\n"
             "config.ini names no HEX file, it opens the sample application "
             "pravune-sample.hex.\n"},
            where))
        return *exitCode;
    const std::string problem = NameSampleWhenNoFile(where.path, ExecutableDirectory());
    if (!problem.empty())
        std::fprintf(stderr, "pravune-loader-demo: %s\n", problem.c_str());
    VirtualBootloader module("DEMO01");
    module.faults.answerMicros = 3000;
    SimHidPlatform platform;
    platform.AddDecoy(0x046D, 0xC31C);  // a keyboard
    platform.AddModule(module);
    platform.AddDecoy(0x046D, 0xC077);  // a mouse
    return RunLoaderWindow(platform, where, "pravune-loader-demo");
}
