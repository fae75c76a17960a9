#include "app/loader_app.h"

#include "app/loader_dlg.h"

CLoaderApp::CLoaderApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("pravune-loader"));
}

int CLoaderApp::Run(HidPlatform& platform, const ConfigLocation& where, BusScript* script) {
    CLoaderDlg dlg(platform, where);
    dlg.Controller().SetBusScript(script);
    dlg.exec();
    return 0;
}
