// Production mode through the Qt window as an operator and a supervisor use it: the right-click
// menu, the approval and passphrase boxes, a module programmed with no click, the panel.
#include <QInputDialog>
#include <QMenu>
#include <optional>
#include <variant>

#include "controls/production_panel.h"
#include "tests/support/hex_text.h"
#include "tests/support/short_shift.h"
#include "tests/ui/ui_support.h"

namespace {

// Answers the next modal boxes in turn as the operator would: Yes or No on a question (either
// closes a warning), a typed text (or Cancel for nothing) in a text box.
struct BoxAnswers {
    std::vector<std::variant<bool, std::optional<QString>>> answers;
    std::vector<QString> seen;  // each box's text or prompt

    void Next() {
        QTimer::singleShot(10, [this] {
            QWidget* box = QApplication::activeModalWidget();
            if (!box) {
                Next();
                return;
            }
            if (answers.empty())
                return;
            const auto answer = answers.front();
            answers.erase(answers.begin());
            if (auto* question = qobject_cast<QMessageBox*>(box)) {
                seen.push_back(question->text());
                // A warning has OK alone: any answer closes it.
                QAbstractButton* button =
                    question->button(std::get<bool>(answer) ? QMessageBox::Yes : QMessageBox::No);
                if (button)
                    QTest::mouseClick(button, Qt::LeftButton);
                else
                    question->close();
            } else if (auto* input = qobject_cast<QInputDialog*>(box)) {
                seen.push_back(input->labelText());
                const std::optional<QString>& text = std::get<std::optional<QString>>(answer);
                if (text) {
                    auto* edit = input->findChild<QLineEdit*>();
                    QTest::keyClicks(edit, *text);
                    QTest::keyClick(edit, Qt::Key_Return);
                } else {
                    input->reject();
                }
            }
            if (!answers.empty())
                Next();
        });
    }
};

// Chooses the right-click menu's entry `index` with the keyboard.
void ChooseFromMenu(QWindow* window, int index) {
    QTimer::singleShot(0, [index] {
        QVERIFY(QTest::qWaitFor([] { return QApplication::activePopupWidget() != nullptr; }));
        QWidget* menu = QApplication::activePopupWidget();
        for (int i = 0; i <= index; ++i)
            QTest::keyClick(menu, Qt::Key_Down);
        QTest::keyClick(menu, Qt::Key_Return);
    });
    QTest::mouseClick(window, Qt::RightButton, {}, QPoint(4, 4));
}

}  // namespace

class ProductionTest : public QObject {
    Q_OBJECT
  private slots:
    void aShiftRunsWithoutAClickAndEndsOnlyWithThePassphrase();
    void thirtyModulesComeAndGoAndOnlyTheApprovedBytesReachThem();
};

void ProductionTest::aShiftRunsWithoutAClickAndEndsOnlyWithThePassphrase() {
    LoaderFixture f(true);
    const std::string hex = f.dir.Write("fw.hex", FullImageHex(0x0E00, 0x1000));
    f.dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + hex +
                                  "\nAutoSN=1\nSN_StartAddr=3B00\nSN_Current=0501\nSN_Bytes=2\n");
    CLoaderDlg& dlg = f.Open();
    dlg.SetHandshakeTickMs(2);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const int width = dlg.width();
    QSignalSpy finished(&dlg, &CLoaderDlg::DownloadFinished);

    BoxAnswers boxes{{true, QString("line-7"), QString("line-7")}, {}};
    boxes.Next();
    ChooseFromMenu(dlg.windowHandle(), 1);  // About, then "Production mode..."
    QVERIFY(QTest::qWaitFor([&] { return finished.count() == 1; }, 10000));
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QVERIFY(boxes.seen.at(0).startsWith("Approve this release for production?"));
    QCOMPARE(boxes.seen.size(), std::size_t{3});

    auto* panel = dlg.findChild<CProductionPanel*>();
    QVERIFY(panel && panel->isVisible());
    QVERIFY(dlg.width() > width);
    QVERIFY(QTest::qWaitFor([&] { return panel->Shown().count.starts_with("Passed 1"); }, 5000));
    QCOMPARE(QString::fromStdString(panel->Shown().panel.headline), QStringLiteral("PASS"));
    QCOMPARE(QString::fromStdString(panel->Shown().panel.detail),
             QStringLiteral("Serial number 0x0501"));
    QVERIFY(!f.Item(IDC_PATH)->isEnabled());

    // A click on Download while idle starts nothing: the module stays handled.
    QTest::mouseClick(dlg.windowHandle(), Qt::LeftButton, {}, CentreInWindow(f.Item(IDC_DOWNLOAD)));
    QTest::qWait(200);
    QCOMPARE(finished.count(), 1);

    // The menu now offers to leave: a wrong passphrase keeps the mode, the right one ends it.
    boxes.answers = {QString("line-8"), true};  // the passphrase, then its warning
    boxes.Next();
    ChooseFromMenu(dlg.windowHandle(), 1);
    QTRY_VERIFY(boxes.answers.empty());
    QVERIFY(panel->isVisible());
    boxes.answers = {QString("line-7")};
    boxes.Next();
    ChooseFromMenu(dlg.windowHandle(), 1);
    QTRY_VERIFY(!panel->isVisible());
    QCOMPARE(dlg.width(), width);
    QVERIFY(f.Item(IDC_PATH)->isEnabled());
}

// The demo's line through the window: thirty modules plugged in and pulled out with no click,
// every seventh failing; the count, the module plugged back in, a file changed on disk, and the
// count again after a restart.
void ProductionTest::thirtyModulesComeAndGoAndOnlyTheApprovedBytesReachThem() {
    LoaderFixture f(true);
    const std::string hex = f.dir.Write("fw.hex", FullImageHex(0x0E00, 0x1000));
    f.dir.Write("config.ini", "[SETTING]\nm_strPath_flash=" + hex +
                                  "\nAutoSN=1\nSN_StartAddr=3B00\nSN_Current=0501\nSN_Bytes=2\n");
    CLoaderDlg& dlg = f.Open();
    DemoShift demo(f.module, f.platform, 0x100, {20, 20, 20}, 7);
    ShortShift shift(demo, 30);
    dlg.Controller().SetBusScript(&shift);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy finished(&dlg, &CLoaderDlg::DownloadFinished);
    BoxAnswers boxes{{true, QString("line-7"), QString("line-7")}, {}};
    boxes.Next();
    ChooseFromMenu(dlg.windowHandle(), 1);

    QVERIFY(QTest::qWaitFor([&] { return finished.count() == 30; }, 60000));
    int failed = 0;
    for (const QList<QVariant>& ended : finished)
        failed += ended.at(0).toBool() ? 0 : 1;
    QCOMPARE(failed, 4);
    QCOMPARE(demo.arrivals(), std::size_t{29});
    auto* panel = dlg.findChild<CProductionPanel*>();
    const std::string count = "Passed 26   Failed 4   Total 30   First pass 86.7%   Last SN 0x051E";
    QTRY_COMPARE(panel->Shown().count, count);
    QCOMPARE(panel->Shown().panel.detail, std::string("Serial number 0x051E"));

    // The last module pulled out and plugged back in: it passed, so the operator is asked (no).
    f.module.Unplug();
    f.platform.TellChange();
    QTRY_COMPARE(panel->Shown().panel.headline, std::string("NEXT"));
    boxes.answers = {false};
    boxes.Next();
    f.module.Plug();
    f.platform.TellChange();
    QTRY_VERIFY(boxes.answers.empty());
    QVERIFY(boxes.seen.back().startsWith("Module D0011C passed with this release before"));
    QTest::qWait(100);
    QCOMPARE(finished.count(), 30);

    // The file changes on disk: the next module is refused before anything reaches it.
    f.dir.Write("fw.hex", FullImageHex(0x0E00, 0x1000, 0x5A));
    f.module.Replace("NEW001");
    f.platform.TellChange();
    QTRY_COMPARE(finished.count(), 31);
    QCOMPARE(finished.back().at(0).toBool(), false);
    QVERIFY(f.module.commands().empty());
    QCOMPARE(panel->Shown().panel.headline, std::string("FAIL"));
    QVERIFY(panel->Shown().panel.detail.starts_with(
        "release: The file changed on disk since it was loaded"));

    // A restart on the same config.ini: the mode and the count come back; the module plugged in
    // is refused again, and counts no more than before: nothing reached it.
    f.dlg.reset();
    CLoaderDlg& again = f.Open();
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    auto* shown = again.findChild<CProductionPanel*>();
    QVERIFY(shown && shown->isVisible());
    QTRY_COMPARE(shown->Shown().panel.headline, std::string("FAIL"));
    QTRY_COMPARE(shown->Shown().count, count);
    QVERIFY(f.module.commands().empty());
}

QTEST_MAIN(ProductionTest)
#include "production_test.moc"
