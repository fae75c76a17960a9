#include "log/message_log.h"

#include <time.h>

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTime>

#include "controls/label_control.h"
#include "image/load_report.h"

namespace {

constexpr int kVisibleLines = 10;

QString LineEnds(const std::string& text) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

// Milliseconds since the system started, as the tick counter counts them.
unsigned long long TickCount() {
    timespec t{};
    ::clock_gettime(CLOCK_BOOTTIME, &t);
    return static_cast<unsigned long long>(t.tv_sec) * 1000ull +
           static_cast<unsigned long long>(t.tv_nsec / 1000000);
}

}  // namespace

CMessageLog::CMessageLog(QWidget* parent) : QTextEdit(parent) {
    setAcceptRichText(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setUndoRedoEnabled(true);
    setTabChangesFocus(true);
}

QString CMessageLog::TimeStampPrefix() {
    return QTime::currentTime().toString(QStringLiteral("HH:mm:ss:")) +
           QStringLiteral("%1 > ").arg(TickCount() % 1000, 3, 10, QLatin1Char('0'));
}

void CMessageLog::Insert(const QString& text, std::uint32_t color) {
    QTextCharFormat format;
    format.setFontFamilies({QStringLiteral("Arial")});
    format.setFontPointSize(10);
    format.setFontWeight(QFont::Normal);
    format.setFontItalic(false);
    format.setFontUnderline(false);
    format.setFontStrikeOut(false);
    format.setForeground(RgbColor(color));
    // A cursor of our own: the operator's selection stays where it is.
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(text, format);
}

void CMessageLog::AppendLog(const std::string& text, std::uint32_t color, bool timeStamp) {
    if (timeStamp)
        Insert(TimeStampPrefix(), kLogStampColor);
    Insert(LineEnds(text), color);
    const int lines = document()->lineCount();
    if (lines > kVisibleLines) {
        QScrollBar* bar = verticalScrollBar();
        const int lineHeight = fontMetrics().lineSpacing();
        bar->setValue(bar->value() + (lines - kVisibleLines) * lineHeight);
    }
}

void CMessageLog::ClearLog() {
    clear();  // also empties the undo history
}
