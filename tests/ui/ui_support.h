#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "app/loader_dlg.h"
#include "sim/sim_hid_platform.h"
#include "tests/support/temp_dir.h"

// One piece of the log as shown: its text and colour (0xRRGGBB).
struct Piece {
    QString text;
    std::uint32_t color;
};

inline std::vector<Piece> LogPieces(const QWidget* logWidget) {
    std::vector<Piece> pieces;
    const auto* edit = static_cast<const QTextEdit*>(logWidget);
    for (QTextBlock b = edit->document()->begin(); b.isValid(); b = b.next()) {
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            pieces.push_back({f.text(), ColorRgb(f.charFormat().foreground().color())});
        }
        if (b.next().isValid())
            pieces.push_back({QStringLiteral("\n"), 0});
    }
    // Merge neighbours of one colour, so a piece is what one AppendLog wrote (or more).
    std::vector<Piece> merged;
    for (const Piece& p : pieces) {
        if (!merged.empty() && (p.text == "\n" || merged.back().color == p.color) &&
            !merged.back().text.endsWith('\n')) {
            merged.back().text += p.text;
        } else {
            merged.push_back(p);
        }
    }
    return merged;
}

inline QString LogText(const QWidget* logWidget) {
    return static_cast<const QTextEdit*>(logWidget)->toPlainText();
}

// Closes the next modal box that opens and hands its text to `seen`.
inline void DismissNextBox(QString* seen = nullptr, QString* title = nullptr) {
    QTimer::singleShot(0, [seen, title] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box) {
            DismissNextBox(seen, title);
            return;
        }
        if (auto* mb = qobject_cast<QMessageBox*>(box)) {
            if (seen)
                *seen = mb->text();
        }
        if (title)
            *title = box->windowTitle();
        box->close();
    });
}

// A settings folder, a bus with one module (absent until plugged) and the window over them.
struct LoaderFixture {
    explicit LoaderFixture(bool modulePresent = false) {
        platform.AddDecoy(0x046D, 0xC31C);
        platform.AddModule(module);
        if (!modulePresent)
            module.Unplug();
    }
    CLoaderDlg& Open() {
        dlg = std::make_unique<CLoaderDlg>(platform, dir.path());
        return *dlg;
    }
    std::string Config() const { return ReadBytes(dir.File("config.ini")); }
    template <class T = QWidget>
    T* Item(int id) const {
        return qobject_cast<T*>(dlg->GetDlgItem(id));
    }

    TempDir dir;
    VirtualBootloader module{"ABC123"};
    SimHidPlatform platform;
    std::unique_ptr<CLoaderDlg> dlg;
};

// The log's lines as plain text, each time stamp replaced by "TS ".
inline QStringList StampedLines(const QWidget* logWidget) {
    QString text = LogText(logWidget);
    text.replace(QRegularExpression(QStringLiteral("\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d > ")),
                 QStringLiteral("TS "));
    return text.split('\n', Qt::SkipEmptyParts);
}

// A control's centre in its window's coordinates: where the operator's click lands.
inline QPoint CentreInWindow(QWidget* control) {
    return control->mapTo(control->window(), control->rect().center());
}

// Posts a click on a widget: it is handled at the window's next dispatch.
inline void PostClick(QWidget* button) {
    QMetaObject::invokeMethod(button, "click", Qt::QueuedConnection);
}

// From the module's side (the station's worker thread): runs `work` on the window's thread and
// waits until it has run, so that what it does (a Stop, a close) is seen at the module's next
// exchange.
template <class Work>
void OnWindowThreadAndWait(QObject* context, Work work) {
    std::promise<void> done;
    QMetaObject::invokeMethod(
        context,
        [&] {
            work();
            done.set_value();
        },
        Qt::QueuedConnection);
    done.get_future().wait();
}

// Does what starts a download (a click), then lets the window's events run until the download,
// which runs on the station's worker thread, has ended; its result.
template <class Start>
bool DownloadBy(CLoaderDlg& dlg, Start start) {
    QSignalSpy ended(&dlg, &CLoaderDlg::DownloadFinished);
    start();
    if (ended.isEmpty() && !ended.wait(120000))
        return false;
    return dlg.LastDownloadSucceeded();
}
