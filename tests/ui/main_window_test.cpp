#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QToolTip>
#include <QWindow>
#include <filesystem>
#include <functional>

#include "image/load_report.h"
#include "pravune_version.h"
#include "tests/support/hex_text.h"
#include "tests/ui/ui_support.h"

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void firstStartShowsDefaultsAndWritesOnlyTheIdentifiers();
    void startWithPlainAndMakerFiles_data();
    void startWithPlainAndMakerFiles();
    void statusFollowsTheModule();
    void identifiersOfTheWrongLengthAreIgnored();
    void logColoursStampsScrollingAndClear();
    void logAppendsAtTheEndWhileTheOperatorSelects();
    void pathTypedCharacterByCharacterLoadsEachTime();
    void everyControlAnswersTheMouseThroughTheWindow();
    void settingsWriteFailureIsReportedOnce();
    void permissionProblemIsReportedOnce();
    void aboutBoxOnF1();
};

void MainWindowTest::firstStartShowsDefaultsAndWritesOnlyTheIdentifiers() {
    LoaderFixture f;
    CLoaderDlg& dlg = f.Open();
    QCOMPARE(dlg.windowTitle(), QStringLiteral("PRAVUNE Loader (Build: V" PRAVUNE_VERSION ")"));
    QCOMPARE(f.Item<QLineEdit>(IDC_PATH)->text(), QString());
    QVERIFY(!f.Item<QCheckBox>(IDC_AUTO_RELOAD)->isChecked());
    QVERIFY(!f.Item<QCheckBox>(IDC_AUTO_SN)->isChecked());
    QVERIFY(f.Item<QCheckBox>(IDC_AUTO_SN)->isEnabled());
    for (auto [id, text] : {std::pair{IDC_SN_ADDR, "0"}, {IDC_SN_VALUE, "0"}, {IDC_SN_STEP, "1"}}) {
        QCOMPARE(f.Item<QLineEdit>(id)->text(), QString::fromLatin1(text));
        QVERIFY(!f.Item(id)->isEnabled());
    }
    QCOMPARE(f.Item<QComboBox>(IDC_SN_BYTES)->currentText(), QStringLiteral("1"));
    QVERIFY(!f.Item(IDC_SN_BYTES)->isEnabled());

    const std::vector<Piece> log = LogPieces(f.Item(IDC_LOG));
    QCOMPARE(log.size(), 3u);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d > $"))
                .match(log[0].text)
                .hasMatch());
    QCOMPARE(log[0].color, 0x6C35A4u);
    QCOMPARE(log[1].text, QStringLiteral("Open Hex: \n"));
    QCOMPARE(log[1].color, 0x000000u);
    QCOMPARE(log[2].text, QStringLiteral("\tHex file path does not exist!\n"));
    QCOMPARE(log[2].color, 0xFF0000u);

    auto* status = f.Item<CLabelControl>(IDC_STATUS);
    QCOMPARE(status->text(), QStringLiteral("Disconnected"));
    QCOMPARE(status->ForeColor(), 0xB86305u);
    QCOMPARE(status->font().pointSizeF(), 15.75);
    QCOMPARE(f.Item<CGlyphButton>(IDC_CONNECTION)->ActiveImageId(), int(IDI_DEVICE_ABSENT));
    const std::uint32_t face = ColorRgb(QApplication::palette().color(QPalette::Button));
    for (int id : {IDC_LABEL_LENGTH_CAPTION, IDC_LABEL_DATE_CAPTION, IDC_LABEL_LENGTH,
                   IDC_LABEL_DATE, IDC_STATUS}) {
        QCOMPARE(f.Item<CLabelControl>(id)->BackColor(), face);
    }
    QCOMPARE(f.Item<CLabelControl>(IDC_LABEL_LENGTH_CAPTION)->ForeColor(), 0x5A674Eu);
    QCOMPARE(f.Item<CLabelControl>(IDC_LABEL_LENGTH)->text(), QString());
    QCOMPARE(f.Item<CLabelControl>(IDC_LABEL_DATE)->text(), QString());
    QVERIFY(!f.Item(IDC_PROGRESS)->isVisibleTo(&dlg));
    QVERIFY(!f.Item(IDC_VID)->isVisibleTo(&dlg));
    // The first tab stop that is shown and enabled: not the hidden identifiers, not the
    // serial-number fields while the plan is off.
    QCOMPARE(dlg.focusWidget(), f.Item(IDC_AUTO_RELOAD));
    QVERIFY(!f.Item(IDC_BANNER)->isEnabled());
    QCOMPARE(f.Item<CGlyphButton>(IDC_BANNER)->ActiveImageId(), int(IDB_BANNER));
    auto* download = f.Item<CGlyphButton>(IDC_DOWNLOAD);
    QCOMPARE(download->ActiveImageId(), int(IDI_DOWNLOAD));
    QCOMPARE(download->StateColor(CGlyphButton::BTNST_COLOR_BK_OUT), 0xC4D89Au);
    QCOMPARE(f.Item<CGlyphButton>(IDC_OPEN)->TipText(), QStringLiteral("Open"));
    QCOMPARE(f.Item<CGlyphButton>(IDC_RELOAD)->TipText(), QStringLiteral("Reload"));
    auto* link = f.Item<CLinkLabel>(IDC_LINK);
    QCOMPARE(link->m_clrCurrent, 0x326464u);
    QCOMPARE(link->m_clrNormal, 0x323264u);
    QVERIFY(link->TimerOn());
    QCOMPARE(f.Config(), std::string("[SETTING]\nm_strVID_bt=2156\nm_strPID_bt=C001\n"));
    QCOMPARE(static_cast<QTextEdit*>(f.Item(IDC_LOG))->palette().color(QPalette::Base),
             RgbColor(0xEBEBEB));
}

void MainWindowTest::startWithPlainAndMakerFiles_data() {
    QTest::addColumn<bool>("maker");
    QTest::newRow("plain") << false;
    QTest::newRow("maker") << true;
}

void MainWindowTest::startWithPlainAndMakerFiles() {
    QFETCH(bool, maker);
    LoaderFixture f;
    std::string hex = Lines({Data(0x0E00, {1, 2, 3, 4}), Data(0x0E10, {5}), kEof});
    if (maker)
        hex = "==KAVORN APP HEX==\r\n" + hex;
    const std::string path = f.dir.Write("fw.hex", hex);
    f.dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path + "\nAutoSN=1\n");
    f.Open();
    const std::vector<Piece> log = LogPieces(f.Item(IDC_LOG));
    QCOMPARE(log[0].color, 0x6C35A4u);  // the stamp, then the report, all black
    QString report;
    for (std::size_t i = 1; i < log.size(); ++i) {
        QCOMPARE(log[i].color, 0x000000u);
        report += log[i].text;
    }
    const QStringList lines = report.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), maker ? 5 : 4);
    QCOMPARE(lines[0], QStringLiteral("Open Hex"));
    QCOMPARE(lines[1], QStringLiteral("\t- File Name: fw.hex"));
    QCOMPARE(lines[2], QStringLiteral("\t- Length: 17Bytes (0E00 ~ 0E10)"));
    QCOMPARE(lines[3],
             QStringLiteral("\t- Latest Update: ") + QString::fromStdString(FileTimeText(path)));
    if (maker)
        QCOMPARE(lines[4], QStringLiteral("\t- Format: KAVORN Application Hex File"));
    QCOMPARE(f.Item<CLabelControl>(IDC_LABEL_LENGTH)->text(), QStringLiteral("17 Bytes"));
    QCOMPARE(f.Item<CLabelControl>(IDC_LABEL_DATE)->text(),
             QString::fromStdString(FileTimeText(path)));
    QCOMPARE(f.Item(IDC_AUTO_SN)->isEnabled(), !maker);
    for (int id : {IDC_SN_ADDR, IDC_SN_BYTES, IDC_SN_VALUE, IDC_SN_STEP}) {
        QCOMPARE(f.Item(id)->isEnabled(), !maker);
    }
    QCOMPARE(f.dlg->focusWidget(), f.Item(maker ? IDC_AUTO_RELOAD : IDC_SN_ADDR));
    QVERIFY(f.dlg->Image().valid);
}

void MainWindowTest::statusFollowsTheModule() {
    LoaderFixture f;
    f.Open();
    auto* status = f.Item<CLabelControl>(IDC_STATUS);
    auto* icon = f.Item<CGlyphButton>(IDC_CONNECTION);
    f.module.Plug();
    QVERIFY(QTest::qWaitFor([&] { return status->text() == "SN: ABC123"; }, 600));
    QCOMPARE(status->ForeColor(), 0x008000u);
    QCOMPARE(icon->ActiveImageId(), int(IDI_DEVICE_PRESENT));
    QCOMPARE(f.dlg->Station().DeviceUid(), std::string("ABC123"));
    // Another module put in its place between two looks is the one shown.
    f.module.Replace("XYZ789");
    QVERIFY(QTest::qWaitFor([&] { return status->text() == "SN: XYZ789"; }, 600));
    f.module.Unplug();
    QVERIFY(QTest::qWaitFor([&] { return status->text() == "Disconnected"; }, 600));
    QCOMPARE(status->ForeColor(), 0xB86305u);
    QCOMPARE(icon->ActiveImageId(), int(IDI_DEVICE_ABSENT));
}

void MainWindowTest::identifiersOfTheWrongLengthAreIgnored() {
    LoaderFixture f(true);
    f.dir.Write("config.ini", "[SETTING]\nm_strVID_bt=215\nm_strPID_bt=c001\n");
    CLoaderDlg& dlg = f.Open();
    QVERIFY(dlg.Port().IsTarget(0xC001, 0));
    QCOMPARE(dlg.Station().Vid(), 0u);
    QCOMPARE(dlg.Station().Pid(), 0xC001u);
    QVERIFY(!dlg.Port().IsOpen());
    QCOMPARE(f.Config(), std::string("[SETTING]\nm_strVID_bt=215\nm_strPID_bt=c001\n"));
}

void MainWindowTest::logColoursStampsScrollingAndClear() {
    LoaderFixture f;
    CLoaderDlg& dlg = f.Open();
    auto* log = static_cast<QTextEdit*>(f.Item(IDC_LOG));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.ClearLog();
    dlg.AppendLog("Erase ... \t\t", 0x000000, true);
    dlg.AppendLog("Done\r\n", 0x008000);
    std::vector<Piece> pieces = LogPieces(log);
    QCOMPARE(pieces.size(), 3u);
    QCOMPARE(pieces[0].color, 0x6C35A4u);
    QCOMPARE(pieces[1].text, QStringLiteral("Erase ... \t\t"));
    QCOMPARE(pieces[2].text, QStringLiteral("Done\n"));
    QCOMPARE(pieces[2].color, 0x008000u);
    for (auto it = log->document()->begin().begin(); !it.atEnd(); ++it) {
        const QTextCharFormat fmt = it.fragment().charFormat();
        QCOMPARE(fmt.fontFamilies().toStringList().value(0), QStringLiteral("Arial"));
        QCOMPARE(fmt.fontPointSize(), 10.0);
        QVERIFY(!fmt.fontItalic() && !fmt.fontUnderline() && fmt.fontWeight() == QFont::Normal);
    }

    dlg.ClearLog();
    QScrollBar* bar = log->verticalScrollBar();
    for (int i = 1; i <= 9; ++i)
        dlg.AppendLog("line " + std::to_string(i) + "\r\n", 0);
    QCOMPARE(bar->value(), 0);  // ten lines (the last one empty): no scrolling
    for (int i = 10; i <= 40; ++i) {
        dlg.AppendLog("line " + std::to_string(i) + "\r\n", 0);
        QCOMPARE(bar->value(), bar->maximum());  // the newest line is in view
    }
    QVERIFY(bar->maximum() > 0);

    dlg.ClearLog();
    QVERIFY(!log->document()->isUndoAvailable());
    log->undo();
    QCOMPARE(log->toPlainText(), QString());
    dlg.AppendLog("first", 0);
    QCOMPARE(log->toPlainText(), QStringLiteral("first"));
}

void MainWindowTest::logAppendsAtTheEndWhileTheOperatorSelects() {
    LoaderFixture f;
    CLoaderDlg& dlg = f.Open();
    auto* log = static_cast<QTextEdit*>(f.Item(IDC_LOG));
    dlg.ClearLog();
    dlg.AppendLog("alpha beta\r\n", 0);
    QTextCursor sel = log->textCursor();
    sel.setPosition(0);
    sel.setPosition(5, QTextCursor::KeepAnchor);
    log->setTextCursor(sel);
    log->insertPlainText(QStringLiteral("ALPHA"));  // the operator types over the selection
    dlg.AppendLog("gamma", 0x008000);
    QCOMPARE(log->toPlainText(), QStringLiteral("ALPHA beta\ngamma"));
}

void MainWindowTest::pathTypedCharacterByCharacterLoadsEachTime() {
    LoaderFixture f;
    const std::string path = f.dir.Write("a", Lines({Data(0x0E00, {1}), kEof}));
    CLoaderDlg& dlg = f.Open();
    dlg.ClearLog();
    auto* edit = f.Item<QLineEdit>(IDC_PATH);
    edit->setFocus();
    QTest::keyClicks(edit, QString::fromStdString(path));
    const QString text = LogText(f.Item(IDC_LOG));
    QCOMPARE(text.count(QStringLiteral("Open Hex: \n")), int(path.size()) - 1);
    QCOMPARE(text.count(QStringLiteral("Open Hex\n")), 1);  // the whole path loads
    QVERIFY(text.endsWith(QStringLiteral("\t- File Name: a\n\t- Length: 1Bytes (0E00 ~ 0E00)\n"
                                         "\t- Latest Update: ") +
                          QString::fromStdString(FileTimeText(path)) + "\n"));
    QVERIFY(f.Config().find("m_strPath_flash=" + path + "\n") != std::string::npos);
    QVERIFY(dlg.Image().valid);
}

namespace {

// Where the operator clicks: the control's centre in the window's own coordinates.
// Receives the addresses the desktop would open.
class UrlCatcher : public QObject {
    Q_OBJECT
  public:
    QList<QUrl> urls;
  public slots:
    void open(const QUrl& url) { urls.append(url); }
};

}  // namespace

void MainWindowTest::everyControlAnswersTheMouseThroughTheWindow() {
    LoaderFixture f(true);
    const std::string path = f.dir.Write("fw.hex", Lines({Data(0x0E00, {1}), kEof}));
    f.dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path +
                                  "\nAutoSN=1\n"
                                  "SN_StartAddr=0E10\nSN_Bytes=1\n");
    CLoaderDlg& dlg = f.Open();
    dlg.SetHandshakeTickMs(5);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QWindow* window = dlg.windowHandle();
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    const auto unset = qScopeGuard([] { QDesktopServices::unsetUrlHandler("http"); });
    auto* log = f.Item<QTextEdit>(IDC_LOG);

    // Each control the operator sees, and what a left click on it does.
    const std::vector<std::pair<int, std::function<bool()>>> clicks = {
        {IDC_AUTO_RELOAD, [&] { return f.Config().find("AutoReload=1") != std::string::npos; }},
        {IDC_AUTO_SN, [&] { return f.Config().find("AutoSN=0") != std::string::npos; }},
        {IDC_AUTO_SN, [&] { return f.Item(IDC_SN_ADDR)->isEnabled(); }},
        {IDC_RELOAD, [&] { return LogText(log).count(QStringLiteral("Open Hex\n")) == 2; }},
        {IDC_CLEAR, [&] { return LogText(log).isEmpty(); }},
        {IDC_LINK, [&] { return catcher.urls.size() == 1; }},
        {IDC_PATH, [&] { return f.Item(IDC_PATH)->hasFocus(); }},
        {IDC_SN_ADDR, [&] { return f.Item(IDC_SN_ADDR)->hasFocus(); }},
        {IDC_SN_VALUE, [&] { return f.Item(IDC_SN_VALUE)->hasFocus(); }},
        {IDC_SN_STEP, [&] { return f.Item(IDC_SN_STEP)->hasFocus(); }},
        {IDC_LOG, [&] { return log->hasFocus(); }},
        {IDC_SN_BYTES, [&] { return f.Item<QComboBox>(IDC_SN_BYTES)->view()->isVisible(); }},
        {IDC_DOWNLOAD, [&] { return dlg.LastDownloadSucceeded(); }},
    };
    for (const auto& [id, answered] : clicks) {
        QWidget* control = dlg.GetDlgItem(id);
        QVERIFY2(control->isVisible() && control->isEnabled(), qPrintable(QString::number(id)));
        QTest::mouseClick(window, Qt::LeftButton, {}, CentreInWindow(control));
        QVERIFY2(QTest::qWaitFor(answered, 2000), qPrintable(QString::number(id)));
        if (auto* combo = qobject_cast<QComboBox*>(control))
            combo->hidePopup();
    }

    // Open shows the file dialog.
    QString dialogClass;
    QTimer::singleShot(0, [&] {
        QVERIFY(QTest::qWaitFor([] { return QApplication::activeModalWidget() != nullptr; }));
        dialogClass = QApplication::activeModalWidget()->metaObject()->className();
        QApplication::activeModalWidget()->close();
    });
    QTest::mouseClick(window, Qt::LeftButton, {}, CentreInWindow(f.Item(IDC_OPEN)));
    QCOMPARE(dialogClass, QStringLiteral("QFileDialog"));

    // Hovering the picture buttons gives the hot look and the tooltip (of the active window).
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dlg));
    for (auto [id, text] : {std::pair{IDC_OPEN, "Open"}, {IDC_RELOAD, "Reload"}}) {
        const QLatin1String tip(text);  // a lambda may not name a structured binding (clang 14)
        auto* button = f.Item<CGlyphButton>(id);
        QTest::mouseMove(window, QPoint(2, 2));
        QTest::mouseMove(window, CentreInWindow(button));
        QVERIFY(QTest::qWaitFor([&] { return button->IsHot(); }, 1000));
        QVERIFY(QTest::qWaitFor([&] { return QToolTip::text() == tip; }, 3000));
    }

    // A right click anywhere on the window's free area, the banner included, offers About.
    for (QPoint at : {CentreInWindow(f.Item(IDC_BANNER)) - QPoint(60, 0), QPoint(4, 4),
                      CentreInWindow(f.Item(IDC_LABEL_LENGTH_CAPTION))}) {
        QString entry;
        QTimer::singleShot(0, [&] {
            QVERIFY(QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; }));
            auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
            entry = menu ? menu->actions().value(0)->text() : QString();
            QApplication::activePopupWidget()->close();
        });
        QTest::mouseClick(window, Qt::RightButton, {}, at);
        QVERIFY(QTest::qWaitFor([&] { return !entry.isEmpty(); }, 2000));
        QCOMPARE(entry, QStringLiteral("About PRAVUNE Loader(&A)..."));
    }
}

void MainWindowTest::settingsWriteFailureIsReportedOnce() {
    LoaderFixture f;
    QVERIFY(QDir().mkdir(QString::fromStdString(f.dir.File("config.ini"))));
    CLoaderDlg& dlg = f.Open();
    QTest::keyClicks(f.Item<QLineEdit>(IDC_PATH), QStringLiteral("/x"));
    QTest::mouseClick(f.Item(IDC_AUTO_RELOAD), Qt::LeftButton);
    const std::vector<Piece> log = LogPieces(f.Item(IDC_LOG));
    int reports = 0;
    for (const Piece& p : log) {
        if (p.text.startsWith(QStringLiteral("Settings not saved: cannot write "))) {
            ++reports;
            QCOMPARE(p.color, 0xFF0000u);
            QVERIFY(p.text.contains(QStringLiteral("config.ini: Is a directory")));
        }
    }
    QCOMPARE(reports, 1);
    QCOMPARE(dlg.Station().AutoReload(), true);  // the field keeps the operator's value
}

void MainWindowTest::permissionProblemIsReportedOnce() {
    LoaderFixture f(true);
    f.platform.entries()[1].permitted = false;
    f.Open();
    QTest::qWait(1200);  // two status refreshes
    const QString text = LogText(f.Item(IDC_LOG));
    QCOMPARE(text.count(QStringLiteral("The module at sim:1 cannot be opened: Permission denied")),
             1);
    QCOMPARE(f.Item<CLabelControl>(IDC_STATUS)->text(), QStringLiteral("Disconnected"));
    f.platform.entries()[1].permitted = true;
    QVERIFY(QTest::qWaitFor(
        [&] { return f.Item<CLabelControl>(IDC_STATUS)->text() == "SN: ABC123"; }, 600));
    // Plugged in again where it may not be opened: a new discovery is told again. (While its
    // node stays open the module stays shown, whatever happens to the node's permissions.)
    f.platform.entries()[1].permitted = false;
    f.module.Unplug();
    f.module.Plug();
    QVERIFY(QTest::qWaitFor(
        [&] { return LogText(f.Item(IDC_LOG)).count(QStringLiteral("cannot be opened")) == 2; },
        600));
}

namespace {

// Opens the About box with F1 and reads its title and the settings line (as shown, and its tool
// tip) before closing it.
struct AboutSeen {
    QString title, shown, full;
};
void ReadNextAboutBox(AboutSeen& seen) {
    QTimer::singleShot(0, [&seen] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box) {
            ReadNextAboutBox(seen);
            return;
        }
        seen.title = box->windowTitle();
        if (auto* label = box->findChild<QLabel*>(QStringLiteral("settingsFile"))) {
            seen.shown = label->text();
            seen.full = label->toolTip();
        }
        box->close();
    });
}
AboutSeen PressF1(CLoaderDlg& dlg) {
    AboutSeen seen;
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg))
        return seen;
    ReadNextAboutBox(seen);
    QTest::keyClick(&dlg, Qt::Key_F1);
    return seen;
}

}  // namespace

// The About box names the settings file in use: whole in its tool tip, shortened in the middle
// when it does not fit its line.
void MainWindowTest::aboutBoxOnF1() {
    LoaderFixture f;
    AboutSeen seen = PressF1(f.Open());
    QCOMPARE(seen.title, QStringLiteral("About PRAVUNE Loader"));
    const QString path = QString::fromStdString(f.dir.File("config.ini"));
    QCOMPARE(seen.shown, path);
    QVERIFY2(seen.full.startsWith(path + "\n("), qPrintable(seen.full));

    // A path longer than the line keeps its start and its end.
    const std::string deep = f.dir.path() + "/" + std::string(120, 'd');
    std::filesystem::create_directories(deep);
    CLoaderDlg other(f.platform,
                     ConfigLocation{deep + "/config.ini", ConfigOrigin::kUserConfig, {}, {}});
    seen = PressF1(other);
    QCOMPARE(seen.full,
             QString::fromStdString(deep + "/config.ini\n(in the user's settings folder)"));
    QVERIFY2(seen.shown.startsWith(QString::fromStdString(f.dir.path())), qPrintable(seen.shown));
    QVERIFY2(seen.shown.endsWith(QStringLiteral("/config.ini")), qPrintable(seen.shown));
    QVERIFY2(seen.shown.contains(QChar(0x2026)), qPrintable(seen.shown));  // the ellipsis
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
