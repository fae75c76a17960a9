// pravune-loader.exe: the loader's window on Windows, over the system's HID devices.
#include "device/win_hid_platform.h"
#include "win/loader_app.h"

int main() {
    ConfigLocation where;
    if (std::optional<int> exitCode = AnswerWindowCommandLine(
            {"pravune-loader",
             "Programs the application flash of PRAVUNE modules through their USB bootloader.\n"},
            where))
        return *exitCode;
    WinHidPlatform platform(SystemHidCalls());
    return RunLoaderWindow(platform, where, "pravune-loader");
}
