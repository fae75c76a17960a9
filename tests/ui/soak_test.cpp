// Programs 1,000 modules in a row through the window, with faults injected at random (answers
// without ACK, a module pulled out and maybe back, failed transfers, the operator's Stop), and
// checks the serial numbers: every module that succeeded carries the next number, strictly
// increasing, none twice; SN_Current always names the next number; no failure is counted.
#include <QLineEdit>
#include <random>
#include <set>

#include "image/serial_number.h"
#include "tests/support/hex_text.h"
#include "tests/ui/ui_support.h"

class SoakTest : public QObject {
    Q_OBJECT
  private slots:
    void thousandModules();
};

void SoakTest::thousandModules() {
    LoaderFixture f(true);
    const std::string path = f.dir.Write("fw.hex", FullImageHex(0x0E00, 0x2000));
    f.dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + path +
                                  "\nAutoSN=1\nSN_StartAddr=3B00\nSN_Current=00000100\n"
                                  "SN_Bytes=4\nSN_Step=3\n");
    CLoaderDlg& dlg = f.Open();
    dlg.SetHandshakeTickMs(1);

    std::mt19937 random(20261207);
    auto pick = [&](int low, int high) { return std::uniform_int_distribution(low, high)(random); };
    std::uint32_t next = 0x100;
    std::set<std::uint32_t> written;
    int succeeded = 0, failed = 0;
    for (int i = 0; i < 1000; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "M%05d", i);
        f.module.Replace(serial);
        const int fault = pick(0, 9);
        const int at = pick(3, 80);  // an exchange inside the flash write
        const int size = pick(1, 150);
        f.module.onExchange = [&, fault, at, size](std::size_t n) {
            if (n != static_cast<std::size_t>(at))
                return;
            switch (fault) {
                case 1:
                    f.module.faults.nakCommands = size;
                    break;
                case 2:
                    f.module.Unplug();
                    f.module.faults.absentEnumerations = size;
                    break;
                case 3:
                    f.module.faults.failGetReports = size;
                    break;
                case 4:
                    PostClick(f.Item(IDC_DOWNLOAD));
                    break;  // Stop
                default:
                    break;
            }
        };
        if (qEnvironmentVariableIsSet("SOAK_TRACE"))
            qInfo("module %d fault %d at %d size %d", i, fault, at, size);
        QTest::mouseClick(f.Item(IDC_DOWNLOAD), Qt::LeftButton);
        f.module.onExchange = nullptr;
        const bool ok = dlg.LastDownloadSucceeded();
        QCOMPARE(ok, f.module.running());
        if (ok) {
            std::uint32_t sn = 0;
            for (int b = 0; b < 4; ++b)
                sn = (sn << 8) | f.module.flash()[0x3B00 + b];
            QCOMPARE(sn, next);
            QVERIFY(written.insert(sn).second);
            QVERIFY(written.empty() || sn == *written.rbegin());
            next += 3;
            ++succeeded;
        } else {
            QVERIFY(fault != 0);  // a clean module never fails
            ++failed;
        }
        QVERIFY(f.module.problems().empty());
        const std::string text = SerialText(next, 4);
        QCOMPARE(f.Item<QLineEdit>(IDC_SN_VALUE)->text(), QString::fromStdString(text));
        QVERIFY2(f.Config().find("SN_Current=" + text + "\n") != std::string::npos,
                 f.Config().c_str());
    }
    qInfo("%d modules programmed, %d failed", succeeded, failed);
    QVERIFY(succeeded > 600 && failed > 50);
}

QTEST_MAIN(SoakTest)
#include "soak_test.moc"
