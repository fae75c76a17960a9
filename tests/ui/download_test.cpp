#include <QLineEdit>
#include <QProgressBar>
#include <algorithm>
#include <atomic>
#include <functional>

#include "image/serial_number.h"
#include "tests/support/hex_text.h"
#include "tests/ui/ui_support.h"

namespace {

// Bytes 0..2, the moved bytes and code from 0x0E00 to 0x2000; 0x3B00.. stays free for the SN.
std::string ImageText(std::uint8_t seed = 1) {
    return Data(0, {0x02, 0x0E, 0x00}) + "\n" + Data(0x43, {0x12, 0x34, 0x56}) + "\n" +
           FullImageHex(0x0E00, 0x2000, seed);
}

// Calls `onPaint` before each paint of the widget it watches.
class PaintWatch : public QObject {
  public:
    PaintWatch(QWidget* watched, std::function<void()> onPaint) : m_onPaint(std::move(onPaint)) {
        watched->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            m_onPaint();
        return false;
    }

  private:
    std::function<void()> m_onPaint;
};

struct DownloadFixture : LoaderFixture {
    explicit DownloadFixture(const std::string& settings =
                                 "AutoSN=1\nSN_StartAddr=3B00\n"
                                 "SN_Current=1234\nSN_Bytes=2\n"
                                 "SN_Step=1\n",
                             const std::string& hex = ImageText())
        : LoaderFixture(true) {
        path = dir.Write("fw.hex", hex);
        dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path + "\n" + settings);
        Open().SetHandshakeTickMs(5);
    }
    // Clicks Download as the operator does and waits until the download has ended.
    bool Download() {
        return DownloadBy(*dlg, [this] { QTest::mouseClick(Item(IDC_DOWNLOAD), Qt::LeftButton); });
    }
    std::string path;
};

}  // namespace

class DownloadTest : public QObject {
    Q_OBJECT
  private slots:
    void successWritesImageAndSerialAndAdvances();
    void logIsTheSharedRecord_data();
    void logIsTheSharedRecord();
    void makerFormatSkipsTheSerialButAdvances();
    void widthOneWithFFIsNotSentButLogged();
    void storedSerialTheFieldCannotShowIsNotWritten_data();
    void storedSerialTheFieldCannotShowIsNotWritten();
    void deviceUidInTheLogIsTheStatusText();
    void stopWhileAModuleIsSilentEndsTheBlockAtOnce();
    void stopDuringHandshake();
    void stopDuringWriteFlashKeepsTheBar();
    void eachPaintShowsTheBarWhereTheWriteIs();
    void closeDuringDownloadClosesAfterIt();
    void clearDuringDownloadKeepsOnlyWhatCameAfter();
    void aboutBoxLeavesTheDownloadRunning();
    void moduleUnpluggedMidWrite_data();
    void moduleUnpluggedMidWrite();
    void autoReload_data();
    void autoReload();
    void failedReloadSendsNothing();
};

void DownloadTest::successWritesImageAndSerialAndAdvances() {
    DownloadFixture f;
    QVERIFY(f.Download());
    const QStringList want = {
        "TS Check Serial Number ... \tDone", "TS Handshake ... \t\tDone",
        "\t- Device UID = ABC123",           "TS Erase ... \t\tDone",
        "TS Write Flash ... \t\tDone",       "TS Write Serial Number ... \tDone",
        "\t- Address = 0x3B00, SN = 0x1234", "TS Run Device ... \t\tDone",
        "TS Download --- \t\tSucceed",
    };
    QCOMPARE(StampedLines(f.Item(IDC_LOG)), want);
    // Colours: headings black behind a purple stamp, results and details green.
    for (const Piece& p : LogPieces(f.Item(IDC_LOG))) {
        if (p.text.startsWith("Done") || p.text.startsWith("Succeed") || p.text.startsWith("\t"))
            QCOMPARE(p.color, 0x008000u);
        QVERIFY(p.color != 0xFF0000u);
    }

    // The flash, byte for byte, is the station's test; here what the window shows of it.
    QVERIFY(f.module.problems().empty());
    QVERIFY(f.module.running());
    QCOMPARE(f.module.lastFormatFlag(), 0);
    QCOMPARE(f.Item<QLineEdit>(IDC_SN_VALUE)->text(), QStringLiteral("1235"));
    QVERIFY(f.Config().find("SN_Current=1235\n") != std::string::npos);
    QVERIFY(!f.Item(IDC_PROGRESS)->isVisibleTo(f.dlg.get()));
    auto* bar = f.Item<QProgressBar>(IDC_PROGRESS);
    QCOMPARE(bar->value(), bar->maximum());  // hidden full, as the last write left it
    QCOMPARE(f.Item<QPushButton>(IDC_DOWNLOAD)->text(), QStringLiteral("Download"));
    for (int id : {IDC_RELOAD, IDC_OPEN, IDC_AUTO_RELOAD, IDC_PATH, IDC_AUTO_SN, IDC_SN_ADDR}) {
        QVERIFY(f.Item(id)->isEnabled());
    }
}

// What the log shows of a download, as the Windows window's test reads it from the same files:
// a line per piece, "RRGGBB text", time stamps as "TS ", tabs and line ends as \t and \n.
void DownloadTest::logIsTheSharedRecord_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("settings");
    QTest::newRow("succeeded") << "succeeded"
                               << "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1234\nSN_Bytes=2\n"
                                  "SN_Step=1\n";
    // The second download's number, 0x100, does not fit one byte.
    QTest::newRow("refused") << "refused"
                             << "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=FF\nSN_Bytes=1\n"
                                "SN_Step=1\n";
}

void DownloadTest::logIsTheSharedRecord() {
    QFETCH(QString, name);
    QFETCH(QString, settings);
    DownloadFixture f(settings.toStdString());
    const bool refused = name == "refused";
    if (refused)
        QVERIFY(f.Download());
    QCOMPARE(f.Download(), !refused);
    QString got;
    for (const Piece& p : LogPieces(f.Item(IDC_LOG))) {
        QString text = p.text;
        text.replace(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d > ")),
                     QStringLiteral("TS "));
        text.replace('\t', QStringLiteral("\\t")).replace('\n', QStringLiteral("\\n"));
        got += QStringLiteral("%1 %2\n").arg(p.color, 6, 16, QLatin1Char('0')).toUpper().arg(text);
    }
    QFile file(QStringLiteral(PRAVUNE_WINDOW_LOGS "/") + name + QStringLiteral(".txt"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(got, QString::fromUtf8(file.readAll()));
}

void DownloadTest::makerFormatSkipsTheSerialButAdvances() {
    // The sequence is the station's test; here the field and the plan's controls.
    DownloadFixture f("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=12\nSN_Bytes=2\nSN_Step=3\n",
                      "==KAVORN APP HEX==\n" + ImageText());
    QVERIFY(f.Download());
    QCOMPARE(f.Item<QLineEdit>(IDC_SN_VALUE)->text(), QStringLiteral("15"));
    QVERIFY(!f.Item(IDC_AUTO_SN)->isEnabled());  // the maker's format keeps the plan off
}

void DownloadTest::widthOneWithFFIsNotSentButLogged() {
    DownloadFixture f("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=FF\nSN_Bytes=1\nSN_Step=1\n");
    QVERIFY(f.Download());
    QVERIFY(StampedLines(f.Item(IDC_LOG)).contains("\t- Address = 0x3B00, SN = 0xFF"));
    for (const BootPacket& p : f.module.commands()) {
        QVERIFY(!(p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B));
    }
    QCOMPARE(f.Item<QLineEdit>(IDC_SN_VALUE)->text(), QStringLiteral("100"));
    // The next download reports the overflow before sending anything.
    const std::size_t sent = f.module.commands().size();
    QVERIFY(!f.Download());
    QVERIFY(StampedLines(f.Item(IDC_LOG)).contains("\t- Overflow: SN = 0x100, max = 0xFF"));
    QCOMPARE(f.module.commands().size(), sent);
}

void DownloadTest::storedSerialTheFieldCannotShowIsNotWritten_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QString>("reason");
    QTest::newRow("nine_digits") << "SN_Current=1234ABCD9\nSN_Bytes=4\nSN_StartAddr=3B00\n"
                                 << "SN_Current=1234ABCD9 in config.ini is not 1 to 8 hexadecimal "
                                    "digits";
    QTest::newRow("prefixed") << "SN_Current=0x00001234\nSN_Bytes=4\nSN_StartAddr=3B00\n"
                              << "SN_Current=0x00001234 in config.ini is not 1 to 8 hexadecimal "
                                 "digits";
    QTest::newRow("wider_than_the_width") << "SN_Current=1234\nSN_Bytes=1\nSN_StartAddr=3B00\n"
                                          << "SN_Current=1234 in config.ini is not 1 to 2 "
                                             "hexadecimal digits";
    QTest::newRow("address") << "SN_Current=12\nSN_Bytes=1\nSN_StartAddr=0x3B00\n"
                             << "SN_StartAddr=0x3B00 in config.ini is not 1 to 4 hexadecimal "
                                "digits";
}

void DownloadTest::storedSerialTheFieldCannotShowIsNotWritten() {
    QFETCH(QString, settings);
    QFETCH(QString, reason);
    DownloadFixture f("AutoSN=1\n" + settings.toStdString());
    const std::vector<Piece> start = LogPieces(f.Item(IDC_LOG));
    QCOMPARE(start.front().text, reason +
                                     ": no serial number is written until a valid one is "
                                     "entered\n");
    QCOMPARE(start.front().color, 0xFF0000u);

    QVERIFY(!f.Download());
    QCOMPARE(
        StampedLines(f.Item(IDC_LOG)),
        QStringList({"TS Check Serial Number ... ", "\t- " + reason, "TS Download --- \t\tFail"}));
    QVERIFY(f.module.commands().empty());

    // Once the operator has entered the fields, what they show is what gets programmed (the
    // number first: until then every other edit warns that the stored one is too large).
    f.Item<QLineEdit>(IDC_SN_VALUE)->setText(QStringLiteral("AB"));
    f.Item<QLineEdit>(IDC_SN_ADDR)->setText(QStringLiteral("3B10"));
    QVERIFY(f.Download());
    QVERIFY(StampedLines(f.Item(IDC_LOG)).contains("\t- Address = 0x3B10, SN = 0xAB"));
    QCOMPARE(f.module.flash()[0x3B10 + f.dlg->Station().Plan().Numbers().width - 1], 0xAB);
}

void DownloadTest::deviceUidInTheLogIsTheStatusText() {
    DownloadFixture f;
    f.module.Replace("Z\xE9\x31");  // the units Z, U+FFE9 (narrows to 0xE9), 1
    QVERIFY(f.Download());
    QVERIFY(StampedLines(f.Item(IDC_LOG)).contains(QStringLiteral("\t- Device UID = Z\u00E91")));
    QCOMPARE(f.Item<CLabelControl>(IDC_STATUS)->text(), QStringLiteral("SN: Z\u00E91"));
}

void DownloadTest::stopWhileAModuleIsSilentEndsTheBlockAtOnce() {
    DownloadFixture f;
    std::size_t opensBefore = 0;
    f.module.onExchange = [&](std::size_t n) {
        if (n == 10) {  // the module falls silent (20 ms an attempt); the operator presses Stop
            f.module.faults.failSetReports = 1 << 20;
            f.module.faults.refusalMicros = 20000;
            QMetaObject::invokeMethod(f.dlg.get(), [&] {
                QTimer::singleShot(30, f.Item(IDC_DOWNLOAD),
                                   [&] { PostClick(f.Item(IDC_DOWNLOAD)); });
            });
            opensBefore = f.platform.opens();
        }
    };
    QVERIFY(!f.Download());
    QVERIFY(StampedLines(f.Item(IDC_LOG)).contains("TS Write Flash ... \t\tFail"));
    // Each attempt reopens the port; Stop is seen after the first, not after a hundred.
    QVERIFY(f.platform.opens() - opensBefore <= 4);
}

void DownloadTest::stopDuringHandshake() {
    DownloadFixture f;
    f.module.Unplug();
    f.dlg->SetHandshakeTickMs(1000);
    QTimer::singleShot(100, [&] { QTest::mouseClick(f.Item(IDC_DOWNLOAD), Qt::LeftButton); });
    QVERIFY(!f.Download());
    const QStringList want = {"TS Check Serial Number ... \tDone", "TS Handshake ... \t\tFail",
                              "TS Download --- \t\tFail"};
    QCOMPARE(StampedLines(f.Item(IDC_LOG)), want);
    QVERIFY(f.module.commands().empty());
    QVERIFY(f.Config().find("SN_Current=1234\n") != std::string::npos);
}

void DownloadTest::stopDuringWriteFlashKeepsTheBar() {
    DownloadFixture f;
    f.module.onExchange = [&](std::size_t n) {
        if (n == 20)
            OnWindowThreadAndWait(f.dlg.get(), [&] { f.Item<QPushButton>(IDC_DOWNLOAD)->click(); });
    };
    QVERIFY(!f.Download());
    const QStringList lines = StampedLines(f.Item(IDC_LOG));
    QCOMPARE(
        lines.mid(lines.size() - 3),
        (QStringList{"TS Write Flash ... \t\tFail",
                     "\t- Serial number 0x1234 is used up: it is never given to another module",
                     "TS Download --- \t\tFail"}));
    QVERIFY(f.Item(IDC_PROGRESS)->isVisibleTo(f.dlg.get()));
    // The block in progress was completed: every write sent was answered, none cut short.
    QCOMPARE(f.module.commands().size(), f.module.exchanges());
    QCOMPARE(f.module.exchanges(), 20u);
    // The bar stays on the last position the write reached: the code's blocks done, plus one.
    const auto& last = f.module.commands().back();
    const int block = ((last[1] | last[2] << 8) - 0x0E00) / 56;
    auto* bar = f.Item<QProgressBar>(IDC_PROGRESS);
    QCOMPARE(bar->maximum(), (0x2000 - 0x0E00 + 55) / 56);
    QCOMPARE(bar->value(), block + 2);
    QVERIFY(f.Config().find("SN_Current=1235\n") != std::string::npos);  // 0x1234 is used up
}

void DownloadTest::eachPaintShowsTheBarWhereTheWriteIs() {
    // The bar moves at a human rate while the write runs, never back, and ends where the write
    // ended; whenever the window paints it, it stands no further than the write has got to.
    DownloadFixture f;
    f.module.faults.answerMicros = 2000;  // a write long enough for the window to paint during it
    f.dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dlg.get()));
    auto* bar = f.Item<QProgressBar>(IDC_PROGRESS);
    std::atomic<int> reached{-1};  // the code block the module was last sent, on its thread
    f.module.onExchange = [&](std::size_t) {
        const BootPacket& last = f.module.commands().back();
        const int address = last[1] | last[2] << 8;
        if (last[0] == CMD_WRITE && address >= 0x0E00 && address < 0x2000)
            reached = (address - 0x0E00) / 56 + 2;
    };
    std::vector<int> shown;
    PaintWatch watch(bar, [&] {
        if (reached >= 0 && bar->maximum() > 1)
            shown.push_back(bar->value());
        if (reached >= 0)
            QVERIFY(bar->value() <= std::max(reached.load(), 1));
    });
    QVERIFY(f.Download());
    f.module.onExchange = nullptr;
    QVERIFY(std::is_sorted(shown.begin(), shown.end()));
    // Positions within the write, at a human rate (a new one at most every 50 ms).
    QVERIFY(std::count_if(shown.begin(), shown.end(), [](int v) { return v > 0; }) >= 2);
    QCOMPARE(bar->value(), bar->maximum());
}

// The close is the controller's (see its test): the window's close reaches it, and the window
// goes when the controller says so.
void DownloadTest::closeDuringDownloadClosesAfterIt() {
    DownloadFixture f;
    f.dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dlg.get()));
    bool shownAfterClose = false;
    f.module.onExchange = [&](std::size_t n) {
        if (n == 10) {
            OnWindowThreadAndWait(f.dlg.get(), [&] {
                f.dlg->close();
                shownAfterClose = f.dlg->isVisible();
            });
        }
    };
    QVERIFY(!f.Download());
    QVERIFY(shownAfterClose);
    QVERIFY(!f.dlg->isVisible());
}

void DownloadTest::clearDuringDownloadKeepsOnlyWhatCameAfter() {
    // What the download logged before the click is cleared, also what was not painted yet.
    DownloadFixture f;
    f.module.onExchange = [&](std::size_t n) {
        if (n == 20)
            OnWindowThreadAndWait(f.dlg.get(), [&] { f.Item<QPushButton>(IDC_CLEAR)->click(); });
    };
    QVERIFY(f.Download());
    const QStringList want = {"Done", "TS Write Serial Number ... \tDone",
                              "\t- Address = 0x3B00, SN = 0x1234", "TS Run Device ... \t\tDone",
                              "TS Download --- \t\tSucceed"};
    QCOMPARE(StampedLines(f.Item(IDC_LOG)), want);
}

void DownloadTest::aboutBoxLeavesTheDownloadRunning() {
    DownloadFixture f;
    f.dlg->show();
    // F1 reaches the window's shortcut only when the window is active (on a display without a
    // window manager too).
    f.dlg->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f.dlg.get()));
    f.module.faults.answerMicros = 2000;  // a download longer than the box stays open
    std::size_t atOpen = 0, atClose = 0;
    f.module.onExchange = [&](std::size_t n) {
        if (n != 10)
            return;
        QTimer::singleShot(0, f.dlg.get(), [&] {
            QTimer::singleShot(300, [&] {
                atClose = f.module.exchanges();
                QApplication::activeModalWidget()->close();
            });
            atOpen = f.module.exchanges();
            QTest::keyClick(f.dlg.get(), Qt::Key_F1);  // opens the About box, modal
        });
    };
    QVERIFY(f.Download());
    QVERIFY(atOpen >= 10);
    // The station works on its own thread: the modal box does not hold the download up.
    QVERIFY(atClose > atOpen);
}

// A module that left the bus mid-write fails the download, also when it is soon back: it may
// have restarted, and nothing more is written to it.
void DownloadTest::moduleUnpluggedMidWrite_data() {
    QTest::addColumn<int>("absentFor");
    QTest::newRow("back_soon") << 5;
    QTest::newRow("gone") << 1000;
}

void DownloadTest::moduleUnpluggedMidWrite() {
    QFETCH(int, absentFor);
    DownloadFixture f;
    f.module.faults.disappearAfter = 40;
    f.module.faults.absentEnumerations = absentFor;
    QVERIFY(!f.Download());
    QCOMPARE(StampedLines(f.Item(IDC_LOG)).mid(4, 3),
             (QStringList{
                 "TS Write Flash ... \t\tFail",
                 "\t- The module left the bus during the download: nothing more was written to it",
                 "\t- Serial number 0x1234 is used up: it is never given to another module"}));
    QCOMPARE(f.module.commands().size(), 40u);
    QVERIFY(f.module.problems().empty());
}

void DownloadTest::autoReload_data() {
    QTest::addColumn<bool>("autoReload");
    QTest::newRow("on") << true;
    QTest::newRow("off") << false;
}

void DownloadTest::autoReload() {
    QFETCH(bool, autoReload);
    DownloadFixture f(std::string("AutoReload=") + (autoReload ? "1" : "0") + "\n");
    const std::uint8_t before = f.dlg->Image().data[0x0E00];
    f.dir.Write("fw.hex", ImageText(7));  // the file changes after it was loaded
    QVERIFY(f.Download());
    const QStringList lines = StampedLines(f.Item(IDC_LOG));
    QCOMPARE(lines.first() == "TS Open Hex", autoReload);
    QCOMPARE(f.module.flash()[0x0E00] != before, autoReload);
}

void DownloadTest::failedReloadSendsNothing() {
    DownloadFixture f("AutoReload=1\n");
    f.dir.Write("fw.hex", Lines({Data(0x0100, {0}), kEof}));  // code in the reserved range
    QVERIFY(!f.Download());
    const QStringList want = {"TS Open Hex: ", "\tError: Code In Reserved Range 0x0000 ~ 0DFF",
                              "TS Download --- \t\tFail"};
    QCOMPARE(StampedLines(f.Item(IDC_LOG)), want);
    QVERIFY(f.module.commands().empty());
}

QTEST_MAIN(DownloadTest)
#include "download_test.moc"
