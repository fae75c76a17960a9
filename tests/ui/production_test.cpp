// Production mode through the Qt window as an operator and a supervisor use it: the right-click
// menu, the approval and passphrase boxes, a module programmed with no click, the panel.
#include <QInputDialog>
#include <QMenu>
#include <optional>
#include <variant>

#include "controls/production_panel.h"
#include "tests/support/hex_text.h"
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

QTEST_MAIN(ProductionTest)
#include "production_test.moc"
