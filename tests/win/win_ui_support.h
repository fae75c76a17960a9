#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "settings/config_location.h"
#include "sim/sim_hid_platform.h"
#include "tests/support/temp_dir.h"
#include "win/loader_app.h"
#include "win/loader_dlg.h"

// Dispatches the thread's window messages until `done` holds, at most `timeoutMs`
// (control_pixels::Pump dispatches for a given time).
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 10000);

// One piece of the log as shown: its text ("\n" for a line end, time stamps as "TS ") and its
// colour (0xRRGGBB); neighbours of one colour on one line are one piece.
struct LogPiece {
    std::string text;
    std::uint32_t color = 0;
    bool operator==(const LogPiece&) const = default;
};
std::vector<LogPiece> LogPieces(HWND richEdit);
// The pieces as the shared record of a window's log writes them: one line each, "RRGGBB text"
// with tabs and line ends written \t and \n.
std::string PiecesText(const std::vector<LogPiece>& pieces);
// The log's plain text, line ends as "\n".
std::string LogText(HWND richEdit);

// The loader's window on a simulated bus (a decoy and module ABC123) over config.ini in a
// fresh folder, made modeless on this thread with the test program's resources.
struct WinLoaderFixture {
    explicit WinLoaderFixture(bool modulePresent = true);
    ~WinLoaderFixture();
    // Writes config.ini (after "[SETTING]\n") and, when `hex` is not empty, fw.hex named in it.
    void Write(const std::string& settings, const std::string& hex);
    WinLoaderDlg& Open();
    // Clicks Download as the operator's click ends up (BM_CLICK) and waits for the end.
    bool Download();
    HWND Item(int id) const { return GetDlgItem(dlg->Handle(), id); }
    std::string Config() const;

    WindowLibraries libraries;
    TempDir dir;
    VirtualBootloader module{"ABC123"};
    SimHidPlatform platform;
    std::unique_ptr<WinLoaderDlg> dlg;
    int ended = 0;
    bool succeeded = false;
};
