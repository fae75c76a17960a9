// The loader's window wired to a virtual module instead of hardware (DemoBus). For trying the
// loader, and showing it, without a module. Until a HEX file is chosen it opens the sample
// application that comes with the loader.
#include <cstdio>
#include <string>

#include "app/loader_app.h"
#include "settings/settings_store.h"
#include "sim/demo_bus.h"
#include "station/window_options.h"

int main(int argc, char** argv) {
    ConfigLocation where;
    if (std::optional<int> exitCode = AnswerCommandLine(argc, argv, kDemoWindowInfo, where))
        return *exitCode;
    const std::string problem = NameSampleWhenNoFile(where.path, ExecutableDirectory());
    if (!problem.empty())
        std::fprintf(stderr, "%s: %s\n", kDemoWindowInfo.program, problem.c_str());
    CLoaderApp app(argc, argv);
    app.setApplicationName(QString::fromUtf8(kDemoWindowInfo.program));
    DemoBus bus;
    return app.Run(bus.platform, where, &bus.shift);
}
