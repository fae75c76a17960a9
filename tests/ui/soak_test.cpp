// Programs 1,000 modules in a row through the window, with faults injected at random at any
// exchange, the serial number's write and Run included (answers without ACK, a module pulled
// out and maybe back, failed transfers, the operator's Stop), and checks the serial numbers:
// no number reaches two modules, whether their download succeeded or not; every module that
// succeeded carries its number; SN_Current and the field always name a number past every one
// given out.
#include <QLineEdit>
#include <optional>
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
    std::set<std::uint32_t> written;
    int succeeded = 0, failed = 0;
    for (int i = 0; i < 1000; ++i) {
        char serial[16];
        std::snprintf(serial, sizeof serial, "M%05d", i);
        f.module.Replace(serial);
        const int fault = pick(0, 9);
        // Any of the 87 exchanges: handshake, erase, 83 blocks, the serial number, Run. Erase
        // and Run need no ACK, so refused commands start after the erase and before the serial
        // number, where the block retries take them.
        const int at = fault == 1 ? pick(2, 85) : pick(1, 87);
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
        const bool ok =
            DownloadBy(dlg, [&] { QTest::mouseClick(f.Item(IDC_DOWNLOAD), Qt::LeftButton); });
        f.module.onExchange = nullptr;
        // A module may start although its answer to Run was lost: that download fails.
        QVERIFY(!ok || f.module.running());
        // The number this module received, if any, whatever the verdict.
        std::optional<std::uint32_t> sn;
        for (const BootPacket& p : f.module.commands()) {
            if (p[0] == CMD_WRITE && p[1] == 0x00 && p[2] == 0x3B)
                sn = (std::uint32_t{p[4]} << 24) | (p[5] << 16) | (p[6] << 8) | p[7];
        }
        if (sn) {
            QVERIFY2(written.insert(*sn).second, "a number reached two modules");
            for (int b = 0; b < 4 && ok; ++b)
                QCOMPARE(f.module.flash()[0x3B00 + b], std::uint8_t(*sn >> (24 - 8 * b)));
        }
        if (ok) {
            QVERIFY(sn.has_value());
            ++succeeded;
        } else {
            QVERIFY(fault != 0);  // a clean module never fails
            ++failed;
        }
        QVERIFY(f.module.problems().empty());
        std::uint32_t next = 0;
        ScanHex(f.dlg->Station().Plan().ValueText(), next);
        QVERIFY(written.empty() || next > *written.rbegin());
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
