#include "app/loader_app.h"
#include "device/hidraw_platform.h"
#include "station/window_options.h"

int main(int argc, char** argv) {
    ConfigLocation where;
    if (std::optional<int> exitCode = AnswerCommandLine(argc, argv, kLoaderWindowInfo, where))
        return *exitCode;
    CLoaderApp app(argc, argv);
    HidrawPlatform platform;
    return app.Run(platform, where);
}
