#include "win/loader_app.h"

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>

#include "win/loader_dlg.h"
#include "win/win_text.h"

Utf8Arguments::Utf8Arguments() {
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i)
            m_values.push_back(win_text::Utf8(wide[i]));
        LocalFree(wide);
    }
    for (std::string& value : m_values)
        m_pointers.push_back(value.data());
    m_pointers.push_back(nullptr);
    m_count = static_cast<int>(m_values.size());
}

namespace {

// A window program has no console of its own: --help and --version go to the one it was
// started from, when there is one and its output is not redirected already.
void UseParentConsole() {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out && out != INVALID_HANDLE_VALUE)
        return;
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    FILE* stream = nullptr;
    freopen_s(&stream, "CONOUT$", "w", stdout);
    freopen_s(&stream, "CONOUT$", "w", stderr);
}

}  // namespace

WindowLibraries::WindowLibraries() {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS |
                                                       ICC_BAR_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    m_richEdit = LoadLibraryW(L"msftedit.dll");
}

WindowLibraries::~WindowLibraries() {
    if (m_richEdit)
        FreeLibrary(static_cast<HMODULE>(m_richEdit));
}

std::optional<int> AnswerWindowCommandLine(const CommandLineInfo& info, ConfigLocation& where) {
    Utf8Arguments arguments;
    for (int i = 1; i < arguments.Count(); ++i) {
        const std::string a = arguments.Values()[i];
        if (a.rfind("-", 0) == 0 && a.rfind("--config", 0) != 0) {
            UseParentConsole();
            break;
        }
    }
    return AnswerCommandLine(arguments.Count(), arguments.Values(), info, where);
}

int RunLoaderWindow(HidPlatform& platform, const ConfigLocation& where,
                    const std::string& applicationName, BusScript* script) {
    WindowLibraries libraries;
    if (!libraries.Loaded()) {
        MessageBoxW(nullptr, L"The rich-text library msftedit.dll cannot be loaded.",
                    win_text::Wide(applicationName).c_str(), MB_OK | MB_ICONERROR);
        return 1;
    }
    WinLoaderDlg dlg(platform, where, {applicationName, GetModuleHandleW(nullptr)});
    dlg.Controller().SetBusScript(script);
    dlg.RunModal();
    return 0;
}
