// pravune-loader.exe: the loader's window on Windows, over the system's HID devices.
#include "device/win_hid_platform.h"
#include "win/loader_app.h"

int main() {
    ConfigLocation where;
    if (std::optional<int> exitCode = AnswerWindowCommandLine(kLoaderWindowInfo, where))
        return *exitCode;
    WinHidPlatform platform(SystemHidCalls());
    return RunLoaderWindow(platform, where, kLoaderWindowInfo.program);
}
