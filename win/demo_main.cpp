// pravune-loader-demo.exe: the loader's window on Windows wired to a virtual module instead of
// hardware (DemoBus). Until a HEX file is chosen it opens the sample application beside it.
#include <cstdio>
#include <string>

#include "settings/settings_store.h"
#include "sim/demo_bus.h"
#include "win/loader_app.h"

int main() {
    ConfigLocation where;
    if (std::optional<int> exitCode = AnswerWindowCommandLine(kDemoWindowInfo, where))
        return *exitCode;
    const std::string problem = NameSampleWhenNoFile(where.path, ExecutableDirectory());
    if (!problem.empty())
        std::fprintf(stderr, "%s: %s\n", kDemoWindowInfo.program, problem.c_str());
    DemoBus bus;
    return RunLoaderWindow(bus.platform, where, kDemoWindowInfo.program, &bus.shift);
}
