#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <functional>

#include "tests/support/station_rig.h"
#include "tests/support/test_database.h"
#include "tests/ui/ui_support.h"

namespace {

struct PlanFixture : LoaderFixture {
    explicit PlanFixture(const std::string& settings =
                             "AutoSN=1\nSN_StartAddr=3B00\n"
                             "SN_Current=12\nSN_Bytes=2\nSN_Step=1\n") {
        dir.Write("config.ini", "[SETTING]\n" + settings);
        Open();
    }
    QLineEdit* Addr() { return Item<QLineEdit>(IDC_SN_ADDR); }
    QLineEdit* Value() { return Item<QLineEdit>(IDC_SN_VALUE); }
    QComboBox* Bytes() { return Item<QComboBox>(IDC_SN_BYTES); }
    // Replaces a field's text by typing, as the operator does, and returns any warning shown.
    QString Type(QLineEdit* edit, const QString& keys, bool clearFirst = true) {
        QString warning;
        auto act = [&](const std::function<void()>& step) {
            QString seen;
            DismissNextBoxIfAny(&seen);
            step();
            QCoreApplication::processEvents();  // the dismisser runs now, while `seen` lives
            if (!seen.isEmpty())
                warning = seen;
        };
        if (clearFirst) {
            act([&] {
                edit->selectAll();
                edit->del();
            });
        }
        for (QChar c : keys)
            act([&] { QTest::keyClicks(edit, QString(c)); });
        return warning;
    }
    // Dismisses a box if one opens within this event-loop turn.
    static void DismissNextBoxIfAny(QString* seen) {
        QTimer::singleShot(0, [seen] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                *seen = box->text();
                box->close();
            }
        });
    }
    std::string Key(const std::string& name) const {
        const std::string text = Config();
        const std::size_t at = text.find("\n" + name + "=");
        if (at == std::string::npos)
            return "<missing>";
        const std::size_t from = at + name.size() + 2;
        return text.substr(from, text.find('\n', from) - from);
    }
};

}  // namespace

class SerialPlanTest : public QObject {
    Q_OBJECT
  private slots:
    void typingFiltersUpperCasesAndKeepsTheCaretAtTheEnd();
    void addressChecks_data();
    void addressChecks();
    void valueAboveTheLargestNumberIsRefused();
    void narrowingTheWidthWarnsAndTheNextTypedNumberIsCut();
    void anEditSavesItsOwnKeyOnly();
    void theNumberFollowsAnotherFrontEnd();
    void planSwitchEnablesAndSaves();
    void stepOutOfRangeIsPromptedAndKept();
    void aSharedCounterShowsAfterEachDownload();
};

void SerialPlanTest::typingFiltersUpperCasesAndKeepsTheCaretAtTheEnd() {
    PlanFixture f;
    QCOMPARE(f.Type(f.Addr(), QStringLiteral("0e")), QString());
    QCOMPARE(f.Addr()->text(), QStringLiteral("0E"));
    QCOMPARE(f.Type(f.Value(), QStringLiteral("1g, x2")), QString());
    QCOMPARE(f.Value()->text(), QStringLiteral("12"));
    QCOMPARE(f.Value()->cursorPosition(), 2);
    QCOMPARE(f.Addr()->cursorPosition(), 2);
}

// The plan's rules are tested with the plan (tests/station/serial_plan_test.cpp); here, how the
// window shows a refusal (a box, the field and config.ini put back) and an address taken.
void SerialPlanTest::addressChecks_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("warning");
    QTest::newRow("reserved") << 1 << "0DFF"
                              << "SN Address cannot in reserved Range: 0x0000 ~ 0x0DFF";
    QTest::newRow("lowest") << 1 << "0E00"
                            << "";
}

void SerialPlanTest::addressChecks() {
    QFETCH(int, width);
    QFETCH(QString, typed);
    QFETCH(QString, warning);
    PlanFixture f("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1\nSN_Bytes=" + std::to_string(width) +
                  "\n");
    f.Addr()->selectAll();
    f.Addr()->del();  // the address is now empty; no check before four characters
    QCOMPARE(f.Type(f.Addr(), typed.left(3), false), QString());
    QCOMPARE(f.Type(f.Addr(), typed.mid(3), false), warning);
    const QString kept = warning.isEmpty() ? typed : typed.left(3);
    QCOMPARE(f.Addr()->text(), kept);
    QCOMPARE(f.Key("SN_StartAddr"), kept.toStdString());
}

void SerialPlanTest::valueAboveTheLargestNumberIsRefused() {
    PlanFixture f("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=FFFFFFF\nSN_Bytes=4\n");
    f.Value()->end(false);
    QCOMPARE(f.Type(f.Value(), QStringLiteral("F"), false),
             QStringLiteral("SN cannot exceed 0xFFFFFFFE"));
    QCOMPARE(f.Value()->text(), QStringLiteral("FFFFFFF"));
    QCOMPARE(f.Type(f.Value(), QStringLiteral("FFFFFFFE")), QString());
    QCOMPARE(f.Key("SN_Current"), std::string("FFFFFFFE"));
}

void SerialPlanTest::narrowingTheWidthWarnsAndTheNextTypedNumberIsCut() {
    PlanFixture f("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=1234\nSN_Bytes=4\n");
    QString seen;
    DismissNextBox(&seen);
    f.Bytes()->setCurrentIndex(0);  // width 1
    QCOMPARE(seen, QStringLiteral("SN cannot exceed 0x00FF"));
    QCOMPARE(f.Value()->text(), QStringLiteral("1234"));
    QCOMPARE(f.Key("SN_Bytes"), std::string("1"));
    QCOMPARE(f.Key("SN_Current"), std::string("1234"));
    // An edit of another field leaves the number as config.ini has it, and warns again.
    f.Item<QLineEdit>(IDC_SN_STEP)->end(false);
    QCOMPARE(f.Type(f.Item<QLineEdit>(IDC_SN_STEP), QStringLiteral("2"), false),
             QStringLiteral("SN cannot exceed 0x00FF"));
    QCOMPARE(f.Value()->text(), QStringLiteral("1234"));
    QCOMPARE(f.Key("SN_Current"), std::string("1234"));
    // The number typed next is cut with the width now in force.
    f.Value()->end(false);
    QCOMPARE(f.Type(f.Value(), QStringLiteral("5"), false), QString());
    QCOMPARE(f.Value()->text(), QStringLiteral("12"));
    QCOMPARE(f.Key("SN_Current"), std::string("12"));
}

// An edit saves the edited field's key and no other: the number in config.ini is written only
// when the operator types it, never back from a window that has not seen another front end's
// advance.
void SerialPlanTest::anEditSavesItsOwnKeyOnly() {
    PlanFixture f("AutoSN=1\n");
    f.Item<QLineEdit>(IDC_SN_STEP)->end(false);
    QCOMPARE(f.Type(f.Item<QLineEdit>(IDC_SN_STEP), QStringLiteral("7"), false), QString());
    QCOMPARE(f.Key("SN_Step"), std::string("17"));
    for (const char* key : {"SN_StartAddr", "SN_Current", "SN_Bytes"})
        QCOMPARE(f.Key(key), std::string("<missing>"));
    f.Type(f.Addr(), QStringLiteral("3B00"));
    QCOMPARE(f.Key("SN_StartAddr"), std::string("3B00"));
    QCOMPARE(f.Key("SN_Current"), std::string("<missing>"));
    // Emptying the step is refused with a prompt, and the push shows the old step again.
    QCOMPARE(f.Type(f.Item<QLineEdit>(IDC_SN_STEP), QString()),
             QStringLiteral("Please enter a positive integer."));
    QCOMPARE(f.Item<QLineEdit>(IDC_SN_STEP)->text(), QStringLiteral("17"));
}

// The command line on the same config.ini takes numbers: the window's field follows at its next
// idle refresh, and an edit of the step afterwards keeps the command line's number.
void SerialPlanTest::theNumberFollowsAnotherFrontEnd() {
    PlanFixture f("AutoSN=1\nSN_StartAddr=3B00\nSN_Current=0100\nSN_Bytes=2\nSN_Step=1\n");
    QVERIFY(settings_file::Write(f.dlg->Station().SettingsPath(), "SETTING", "SN_Current", "0104",
                                 nullptr));
    QTRY_COMPARE_WITH_TIMEOUT(f.Value()->text(), QStringLiteral("0104"), 3000);
    QCOMPARE(f.dlg->Station().Plan().Numbers().value, 0x104u);
    f.Item<QLineEdit>(IDC_SN_STEP)->end(false);
    QCOMPARE(f.Type(f.Item<QLineEdit>(IDC_SN_STEP), QStringLiteral("2"), false), QString());
    QCOMPARE(f.Key("SN_Current"), std::string("0104"));
    QCOMPARE(f.Key("SN_Step"), std::string("12"));
}

void SerialPlanTest::planSwitchEnablesAndSaves() {
    PlanFixture f;
    QTest::mouseClick(f.Item(IDC_AUTO_SN), Qt::LeftButton);
    for (int id : {IDC_SN_ADDR, IDC_SN_BYTES, IDC_SN_VALUE, IDC_SN_STEP}) {
        QVERIFY(!f.Item(id)->isEnabled());
    }
    QCOMPARE(f.Key("AutoSN"), std::string("0"));
    QCOMPARE(f.Key("SN_Current"), std::string("12"));
    QTest::mouseClick(f.Item(IDC_AUTO_SN), Qt::LeftButton);
    QVERIFY(f.Item(IDC_SN_VALUE)->isEnabled());
    QCOMPARE(f.Key("AutoSN"), std::string("1"));
}

void SerialPlanTest::stepOutOfRangeIsPromptedAndKept() {
    PlanFixture f("AutoSN=1\nSN_Step=5\n");
    auto* step = f.Item<QLineEdit>(IDC_SN_STEP);
    step->end(false);
    const QString warning = f.Type(step, QStringLiteral("00"), false);  // 50, then 500
    QCOMPARE(warning, QStringLiteral("Please enter an integer between 0 and 255."));
    QCOMPARE(f.dlg->Station().Plan().Numbers().step, 50u);
    QCOMPARE(step->text(), QStringLiteral("50"));
    QCOMPARE(f.Key("SN_Step"), std::string("50"));
}

// Stations on one PostgreSQL server: the number the operator types is set on the server at the
// next download, and after each download the field shows the server's counter, whatever other
// stations took meanwhile.
void SerialPlanTest::aSharedCounterShowsAfterEachDownload() {
    TestDatabase db(Backend::kPostgres);
    if (!db.skip().empty())
        QSKIP(db.skip().c_str());
    QVERIFY2(db.error().empty(), db.error().c_str());
    const std::string plan =
        "AutoSN=1\nSN_StartAddr=3B00\nSN_Current=12\nSN_Bytes=2\n"
        "SN_Step=1\n[DATABASE]\nConnection=" +
        db.connection() + "\n";
    PlanFixture f("m_strPath_flash=" + db.dir().Write("fw.hex", ImageText()) + "\n" + plan);
    f.module.Plug();
    f.dlg->SetHandshakeTickMs(5);
    f.dlg->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.dlg.get()));
    f.Type(f.Value(), "2000");
    const auto download = [&] {
        return DownloadBy(*f.dlg, [&] {
            QTest::mouseClick(f.dlg->windowHandle(), Qt::LeftButton, {},
                              CentreInWindow(f.Item(IDC_DOWNLOAD)));
        });
    };
    QVERIFY2(download(), qPrintable(StampedLines(f.Item(IDC_LOG)).join('|')));
    QCOMPARE(f.Value()->text(), QStringLiteral("2001"));

    const std::string other = f.dir.path() + "/other";
    std::filesystem::create_directories(other);
    Rig station(plan.c_str(), ImageText(), "OTHER1", other);
    QVERIFY(station.station.Download());
    QVERIFY(station.station.Download());
    QVERIFY(download());
    QVERIFY(StampedLines(f.Item(IDC_LOG)).contains("\t- Address = 0x3B00, SN = 0x2003"));
    QCOMPARE(f.Value()->text(), QStringLiteral("2004"));
    QCOMPARE(f.Key("SN_Current"), std::string("2004"));
    QCOMPARE(station.station.Plan().ValueText(), std::string("2003"));  // as it left the counter
    // The typed number is the one change, recorded with the station that made it.
    QCOMPARE(db.Count("SELECT count(*) FROM counter_changes"), 1);
    QCOMPARE(db.Count("SELECT count(*) FROM counter_changes WHERE old_value IS NULL AND "
                      "new_value = 8192 AND station_host <> ''"),
             1);
    QCOMPARE(db.Count("SELECT count(*) FROM downloads WHERE verdict = 'succeeded'"), 4);
}

QTEST_MAIN(SerialPlanTest)
#include "serial_plan_test.moc"
