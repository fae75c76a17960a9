// The Win32 window in process, as the dialog manager lays it out and as an operator's clicks
// reach it: its layout against the look, its start-up look, its log's runs and colours,
// and whole downloads over the simulated bus, whose log equals the Qt window's.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>
#include <richedit.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "pravune_version.h"
#include "station/programming_station.h"
#include "station/window_look.h"
#include "tests/support/short_shift.h"
#include "tests/support/station_rig.h"
#include "tests/win/control_pixels.h"
#include "tests/win/win_ui_support.h"
#include "win/resource.h"
#include "win/win_text.h"

namespace {

RECT InDialog(HWND dialog, HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Answers the boxes the window opens on this thread, as an operator would: from a second
// thread, each answer in turn types its text into the box's edit (if any) and presses its
// button; what each box was titled is kept.
class BoxAnswerer {
  public:
    struct Answer {
        const char* typed;  // nullptr: a box without an edit
        int button;
    };
    explicit BoxAnswerer(HWND window) : m_window(window), m_thread(GetCurrentThreadId()) {
        m_worker = std::thread([this] { Run(); });
    }
    ~BoxAnswerer() {
        m_stop = true;
        m_worker.join();
    }
    void Queue(std::vector<Answer> answers) {
        const std::lock_guard lock(m_mutex);
        m_answers.insert(m_answers.end(), answers.begin(), answers.end());
    }
    std::vector<std::string> Titles() {
        const std::lock_guard lock(m_mutex);
        return m_titles;
    }

  private:
    struct Found {
        HWND window;
        HWND box = nullptr;
    };
    void Run() {
        while (!m_stop) {
            Sleep(30);
            Found found{m_window};
            EnumThreadWindows(
                m_thread,
                [](HWND w, LPARAM p) -> BOOL {
                    auto* f = reinterpret_cast<Found*>(p);
                    wchar_t name[16] = {};
                    GetClassNameW(w, name, 16);
                    if (w != f->window && IsWindowVisible(w) && IsWindowEnabled(w) &&
                        std::wstring(name) == L"#32770") {
                        f->box = w;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&found));
            if (!found.box)
                continue;
            Answer answer{};
            {
                const std::lock_guard lock(m_mutex);
                if (m_answers.empty())
                    continue;
                answer = m_answers.front();
                m_answers.erase(m_answers.begin());
                m_titles.push_back(win_text::Utf8(win_text::WindowText(found.box)));
            }
            if (answer.typed) {
                SendMessageW(FindWindowExW(found.box, nullptr, L"Edit", nullptr), WM_SETTEXT, 0,
                             reinterpret_cast<LPARAM>(win_text::Wide(answer.typed).c_str()));
            }
            PostMessageW(found.box, WM_COMMAND, static_cast<WPARAM>(answer.button), 0);
            for (int i = 0; i < 200 && IsWindow(found.box); ++i)
                Sleep(10);
        }
    }

    HWND m_window;
    DWORD m_thread;
    std::mutex m_mutex;
    std::vector<Answer> m_answers;
    std::vector<std::string> m_titles;
    std::atomic<bool> m_stop{false};
    std::thread m_worker;
};

int ClientWidth(HWND window) {
    RECT r;
    GetClientRect(window, &r);
    return r.right;
}

int DialogUnitsWide(HWND dialog, int units) {
    RECT r{0, 0, units, 0};
    MapDialogRect(dialog, &r);
    return r.right;
}

const std::string kPlan = "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1234\nSN_Bytes=2\nSN_Step=1\n";

}  // namespace

TEST(WinLoaderDlg, EveryControlSitsWhereTheTemplatePutsIt) {
    WinLoaderFixture f;
    f.Write("", "");
    HWND dlg = f.Open().Handle();
    ASSERT_TRUE(dlg);
    // The dialog manager maps each field of a control's rectangle on its own.
    RECT units{0, 0, 4, 8};
    MapDialogRect(dlg, &units);
    const int bx = units.right, by = units.bottom;
    auto X = [bx](int v) { return MulDiv(v, bx, 4); };
    auto Y = [by](int v) { return MulDiv(v, by, 8); };
    RECT client;
    GetClientRect(dlg, &client);
    EXPECT_EQ(client.right, X(242));
    EXPECT_EQ(client.bottom, Y(250));
    for (const ControlLook& look : LoaderControls()) {
        if (look.id == IDC_STATIC)
            continue;
        SCOPED_TRACE("control " + std::to_string(look.id));
        HWND control = f.Item(look.id);
        ASSERT_TRUE(control);
        const RECT r = InDialog(dlg, control);
        EXPECT_EQ(r.left, X(look.rect.x));
        EXPECT_EQ(r.top, Y(look.rect.y));
        EXPECT_EQ(r.right - r.left, X(look.rect.cx));
        if (look.kind != ControlKind::kComboBox) {  // a closed list is as high as its font
            EXPECT_EQ(r.bottom - r.top, Y(look.rect.cy));
        }
        // Hidden until a download shows the bar; the identifiers are never shown.
        EXPECT_EQ(!!IsWindowVisible(control), !look.hidden);
        if (look.disabled) {
            EXPECT_FALSE(IsWindowEnabled(control));
        }
    }
}

TEST(WinLoaderDlg, StartsWithTheStoredLookTheSystemMenuAndTheDefaults) {
    WinLoaderFixture f(false);
    f.Write("", "");
    WinLoaderDlg& dlg = f.Open();
    HWND d = dlg.Handle();
    wchar_t caption[128];
    GetWindowTextW(d, caption, 128);
    EXPECT_EQ(win_text::Utf8(caption), "PRAVUNE Loader (Build: V" PRAVUNE_VERSION ")");
    // Without config.ini: the defaults, the plan's fields off.
    EXPECT_EQ(win_text::ItemText(d, IDC_SN_ADDR), "0");
    EXPECT_EQ(win_text::ItemText(d, IDC_SN_VALUE), "0");
    EXPECT_EQ(win_text::ItemText(d, IDC_SN_STEP), "1");
    EXPECT_EQ(SendMessageW(f.Item(IDC_SN_BYTES), CB_GETCURSEL, 0, 0), 0);
    for (int id : {IDC_SN_ADDR, IDC_SN_BYTES, IDC_SN_VALUE, IDC_SN_STEP})
        EXPECT_FALSE(IsWindowEnabled(f.Item(id))) << id;
    EXPECT_EQ(win_text::ItemText(d, IDC_STATUS), "Disconnected");
    // Each label as painted: its own text colour on the button face, not the stored 0xECE9D8.
    using control_pixels::Capture;
    const std::uint32_t face = win_text::RgbOf(GetSysColor(COLOR_BTNFACE));
    for (const ControlLook& look : LoaderControls()) {
        if (look.kind != ControlKind::kLabel)
            continue;
        const int id = look.id;
        const control_pixels::Pixels label = Capture(f.Item(id));
        if (!win_text::ItemText(d, id).empty()) {  // the failed load emptied length and date
            EXPECT_GT(label.Count(look.fore), 0) << id;
        }
        EXPECT_GT(label.Count(face), label.width * label.height / 2) << id;
        EXPECT_EQ(label.Count(kStoredLabelBack), 0) << id;
    }
    // The picture buttons and the link as the window sets them up: the light green Download
    // with its arrow, the banner's black left out, the link over it in one of its colours.
    const control_pixels::Pixels download = Capture(f.Item(IDC_DOWNLOAD));
    EXPECT_GT(download.Count(0xC4D89A), download.width * download.height / 2);
    EXPECT_GT(download.Count(0x1A8F3A), 20);
    const control_pixels::Pixels banner = Capture(f.Item(IDC_BANNER));
    EXPECT_EQ(banner.Count(0), 0);
    EXPECT_GT(banner.Count(face), banner.width * banner.height / 2);
    const control_pixels::Pixels link = Capture(f.Item(IDC_LINK));
    EXPECT_GT(link.Count(0x326464) + link.Count(0x323264) + link.Count(0xFF6464), 10);
    // The system menu ends with a separator and the controller's items, About first (command
    // 16), 16 apart.
    HMENU menu = GetSystemMenu(d, FALSE);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 3);
    const struct {
        const char* text;
        UINT id;
    } items[] = {{"About PRAVUNE Loader(&A)...", IDM_ABOUTBOX},
                 {"Production mode(&P)...", IDM_ABOUTBOX + 0x10}};
    for (int i = 0; i < 2; ++i) {
        wchar_t text[64] = {};
        GetMenuStringW(menu, static_cast<UINT>(count - 2 + i), text, 64, MF_BYPOSITION);
        EXPECT_EQ(win_text::Utf8(text), items[i].text);
        EXPECT_EQ(GetMenuItemID(menu, count - 2 + i), items[i].id);
    }
    EXPECT_EQ(GetMenuState(menu, static_cast<UINT>(count - 3), MF_BYPOSITION) & MF_SEPARATOR,
              static_cast<UINT>(MF_SEPARATOR));
    // The failed load of the empty path is in the log, in red.
    bool red = false;
    for (const LogPiece& p : LogPieces(f.Item(IDC_LOG)))
        red = red || p.color == kLogRed;
    EXPECT_TRUE(red) << LogText(f.Item(IDC_LOG));
    // The identifiers were written by the start, and nothing else.
    EXPECT_EQ(f.Config(), "[SETTING]\nm_strVID_bt=2156\nm_strPID_bt=C001\n");
}

TEST(WinLoaderDlg, TheLogAppendsInItsFormatAtTheEndAndScrollsToTheNewestLine) {
    WinLoaderFixture f;
    f.Write("", "");
    WinLoaderDlg& dlg = f.Open();
    HWND log = f.Item(IDC_LOG);
    dlg.Log().ClearLog();
    // An operator's selection does not take the entry.
    dlg.Controller().AppendLog("Typed ", kLogBlack);
    CHARRANGE selection{0, 2};
    SendMessageW(log, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&selection));
    dlg.Controller().AppendLog("Open Hex", kLogBlack, true);
    dlg.Controller().AppendLog("Done\r\n", kLogGreen);
    dlg.Controller().AppendLog("Failed\n", kLogRed);
    const std::vector<LogPiece> want = {{"Typed ", kLogBlack},
                                        {"TS ", kLogStampColor},
                                        {"Open Hex", kLogBlack},
                                        {"Done\n", kLogGreen},
                                        {"Failed\n", kLogRed}};
    EXPECT_EQ(PiecesText(LogPieces(log)), PiecesText(want));
    // Every character in Arial 10 pt, no effects, an explicit colour.
    for (LONG i = 0; i < 20; ++i) {
        CHARRANGE one{i, i + 1};
        SendMessageW(log, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&one));
        CHARFORMAT2W format{};
        format.cbSize = sizeof format;
        SendMessageW(log, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
        EXPECT_EQ(std::wstring(format.szFaceName), L"Arial");
        EXPECT_EQ(format.yHeight, 200);
        EXPECT_EQ(format.dwEffects & (CFE_BOLD | CFE_ITALIC | CFE_UNDERLINE | CFE_STRIKEOUT |
                                      CFE_PROTECTED | CFE_AUTOCOLOR),
                  0u);
    }
    // Ten lines stay where they are; the eleventh and on keep the newest in view.
    dlg.Log().ClearLog();
    for (int line = 1; line <= 10; ++line)
        dlg.Controller().AppendLog("line " + std::to_string(line) + "\r\n", kLogBlack);
    EXPECT_EQ(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    for (int line = 11; line <= 30; ++line)
        dlg.Controller().AppendLog("line " + std::to_string(line) + "\r\n", kLogBlack);
    EXPECT_GT(SendMessageW(log, EM_GETFIRSTVISIBLELINE, 0, 0), 10);
    // A clear empties the log for good.
    SendMessageW(f.Item(IDC_CLEAR), BM_CLICK, 0, 0);
    EXPECT_EQ(LogText(log), "");
    EXPECT_FALSE(SendMessageW(log, EM_CANUNDO, 0, 0));
}

TEST(WinLoaderDlg, ThePlanSwitchByClickEnablesItsFieldsAndIsSaved) {
    WinLoaderFixture f;
    f.Write("", "");
    f.Open();
    SendMessageW(f.Item(IDC_AUTO_SN), BM_CLICK, 0, 0);
    for (int id : {IDC_SN_ADDR, IDC_SN_BYTES, IDC_SN_VALUE, IDC_SN_STEP})
        EXPECT_TRUE(IsWindowEnabled(f.Item(id))) << id;
    EXPECT_NE(f.Config().find("AutoSN=1\n"), std::string::npos) << f.Config();
    // A typed number goes to config.ini (one EN_CHANGE per edit).
    SetWindowTextW(f.Item(IDC_SN_VALUE), L"2A");
    EXPECT_NE(f.Config().find("SN_Current=2A\n"), std::string::npos) << f.Config();
    SendMessageW(f.Item(IDC_AUTO_SN), BM_CLICK, 0, 0);
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_SN_VALUE)));
    EXPECT_NE(f.Config().find("AutoSN=0\n"), std::string::npos) << f.Config();
}

// The shared record of what a window's log shows for each download: the Qt window's test reads
// the same files.
class WinLoaderDownload : public testing::TestWithParam<const char*> {};

TEST_P(WinLoaderDownload, LogsAsTheQtWindowDoes) {
    const std::string name = GetParam();
    WinLoaderFixture f;
    const bool refused = name == "refused";
    // Refused: the second download's number, 0x100, does not fit one byte.
    f.Write(refused ? "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=FF\nSN_Bytes=1\nSN_Step=1\n" : kPlan,
            ImageText());
    f.Open();
    if (refused) {
        ASSERT_TRUE(f.Download());
    }
    EXPECT_EQ(f.Download(), !refused);
    const std::string want = ReadFile(std::string(PRAVUNE_WINDOW_LOGS) + "/" + name + ".txt");
    EXPECT_EQ(PiecesText(LogPieces(f.Item(IDC_LOG))), want);
    EXPECT_EQ(win_text::ItemText(f.dlg->Handle(), IDC_DOWNLOAD), "Download");
    EXPECT_TRUE(IsWindowEnabled(f.Item(IDC_OPEN)));
    if (!refused) {
        EXPECT_TRUE(f.module.problems().empty());
        EXPECT_TRUE(f.module.running());
        EXPECT_EQ(win_text::ItemText(f.dlg->Handle(), IDC_SN_VALUE), "1235");
        EXPECT_NE(f.Config().find("SN_Current=1235\n"), std::string::npos);
        HWND bar = f.Item(IDC_PROGRESS);
        EXPECT_FALSE(IsWindowVisible(bar));
        EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Downloads, WinLoaderDownload, testing::Values("succeeded", "refused"));

// The close is the controller's (see its test): the window's close message reaches it, and the
// window goes when the controller says so.
TEST(WinLoaderDlg, ACloseDuringADownloadReachesTheControllerAndTheWindowGoesAfterIt) {
    WinLoaderFixture f(false);  // the handshake waits for a module that never comes
    f.Write(kPlan, ImageText());
    WinLoaderDlg& dlg = f.Open();
    bool closed = false;
    dlg.onClosed = [&] { closed = true; };
    SendMessageW(f.Item(IDC_DOWNLOAD), BM_CLICK, 0, 0);
    ASSERT_TRUE(dlg.Controller().IsBusy());
    EXPECT_EQ(win_text::ItemText(dlg.Handle(), IDC_DOWNLOAD), "Stop");
    EXPECT_FALSE(IsWindowEnabled(f.Item(IDC_PATH)));
    SendMessageW(dlg.Handle(), WM_CLOSE, 0, 0);
    EXPECT_FALSE(closed);  // the download ends first
    EXPECT_TRUE(PumpUntil([&] { return closed; }));
    EXPECT_EQ(f.ended, 1);
}

// Production mode from the system menu's command, through the real boxes: the approval, the
// passphrase chosen and typed again; the module present is programmed without a click and the
// widened window shows the verdict; a wrong passphrase keeps the mode, the right one ends it.
TEST(WinLoaderDlg, ProductionModeFromTheSystemMenuProgramsWithoutAClick) {
    WinLoaderFixture f;
    f.Write(kPlan, ImageText());
    WinLoaderDlg& dlg = f.Open();
    HWND d = dlg.Handle();
    const UINT mode = WinLoaderDlg::MenuCommandId(MenuCommand::kProductionMode);
    EXPECT_EQ(ClientWidth(d), DialogUnitsWide(d, kLoaderDialog.cx));
    EXPECT_FALSE(IsWindowVisible(dlg.ProductionPanel()));
    BoxAnswerer boxes(d);
    boxes.Queue({{nullptr, IDYES}, {"s3cret", IDOK}, {"s3cret", IDOK}});
    SendMessageW(d, WM_SYSCOMMAND, mode, 0);
    EXPECT_EQ(boxes.Titles(), std::vector<std::string>(3, "Production mode"));
    ASSERT_TRUE(PumpUntil([&] { return f.ended > 0; }, 30000));
    EXPECT_TRUE(f.succeeded);
    EXPECT_TRUE(f.module.running());
    HWND panel = dlg.ProductionPanel();
    ASSERT_TRUE(PumpUntil([&] { return win_text::WindowText(panel) == L"PASS"; }));
    EXPECT_TRUE(IsWindowVisible(panel));
    EXPECT_EQ(ClientWidth(d), DialogUnitsWide(d, kProductionDialogWidth));
    const control_pixels::Pixels shown = control_pixels::Capture(panel);
    EXPECT_GT(shown.Count(kPanelPass), shown.width * shown.height / 4);
    // The menu offers the new shift and leaving now.
    SendMessageW(d, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(GetSystemMenu(d, FALSE)), 0);
    wchar_t text[64] = {};
    GetMenuStringW(GetSystemMenu(d, FALSE), mode, text, 64, MF_BYCOMMAND);
    EXPECT_EQ(win_text::Utf8(text), "Leave production mode(&P)...");
    // A wrong passphrase: a warning, and the mode stays.
    boxes.Queue({{"wrong", IDOK}, {nullptr, IDOK}});
    SendMessageW(d, WM_SYSCOMMAND, mode, 0);
    EXPECT_TRUE(IsWindowVisible(panel));
    boxes.Queue({{"s3cret", IDOK}});
    SendMessageW(d, WM_SYSCOMMAND, mode, 0);
    EXPECT_FALSE(IsWindowVisible(panel));
    EXPECT_EQ(ClientWidth(d), DialogUnitsWide(d, kLoaderDialog.cx));
    EXPECT_EQ(boxes.Titles().size(), 6u);
    EXPECT_NE(f.Config().find("ProductionMode=0"), std::string::npos) << f.Config();
}

// The demo's line through the window: thirty modules plugged in and pulled out with no click,
// every seventh failing mid-write; the count and the last verdict on the panel; the last module
// plugged back in is asked about, not programmed.
TEST(WinLoaderDlg, ProductionModeRunsAShiftOfModulesComingAndGoing) {
    WinLoaderFixture f;
    f.Write(kPlan, ImageText());
    WinLoaderDlg& dlg = f.Open();
    DemoShift demo(f.module, f.platform, 0x100, {20, 20, 20}, 7);
    ShortShift shift(demo, 30);
    dlg.Controller().SetBusScript(&shift);
    BoxAnswerer boxes(dlg.Handle());
    boxes.Queue({{nullptr, IDYES}, {"s3cret", IDOK}, {"s3cret", IDOK}});
    SendMessageW(dlg.Handle(), WM_SYSCOMMAND,
                 WinLoaderDlg::MenuCommandId(MenuCommand::kProductionMode), 0);
    ASSERT_TRUE(PumpUntil([&] { return f.ended == 30; }, 60000)) << f.ended;
    EXPECT_EQ(demo.arrivals(), 29u);
    const std::string count = "Passed 26   Failed 4   Total 30   First pass 86.7%   Last SN 0x1251";
    ASSERT_TRUE(PumpUntil([&] { return dlg.Controller().Production().count == count; }))
        << dlg.Controller().Production().count;
    HWND panel = dlg.ProductionPanel();
    EXPECT_EQ(win_text::WindowText(panel), L"PASS");

    f.module.Unplug();
    f.platform.TellChange();
    EXPECT_TRUE(PumpUntil([&] { return win_text::WindowText(panel) == L"NEXT"; }));
    boxes.Queue({{nullptr, IDNO}});
    f.module.Plug();
    f.platform.TellChange();
    EXPECT_TRUE(PumpUntil([&] { return boxes.Titles().size() == 4; }));
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(f.ended, 30);
}
