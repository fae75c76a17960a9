// The About box: dialog 100 from the resources, with the settings file in use on its last line.
#include <string>

#include "win/loader_dlg.h"
#include "win/resource.h"
#include "win/win_text.h"

namespace {

INT_PTR CALLBACK AboutProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            const auto* settings = reinterpret_cast<const std::wstring*>(lParam);
            SetDlgItemTextW(hWnd, IDC_ABOUT_SETTINGS, settings->c_str());
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(hWnd, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

void WinLoaderDlg::ShowAbout() {
    const std::wstring settings = win_text::Wide("Settings: " + m_where.path + " (" +
                                                 DescribeConfigOrigin(m_where.origin) + ")");
    DialogBoxParamW(m_options.resources, MAKEINTRESOURCEW(IDD_ABOUTBOX), m_hWnd, AboutProc,
                    reinterpret_cast<LPARAM>(&settings));
}
