#include "log/message_log.h"

#include <algorithm>

#include <QAbstractTextDocumentLayout>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextFrame>
#include <QTextLayout>

#include "controls/label_control.h"
#include "image/load_report.h"
#include "text/escape_controls.h"

namespace {

constexpr int kVisibleLines = 10;

QString LineEnds(const std::string& text) {
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

}  // namespace

CMessageLog::CMessageLog(QWidget* parent) : QTextEdit(parent) {
    setAcceptRichText(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setUndoRedoEnabled(true);
    setTabChangesFocus(true);
    // The strip that FitWholeLines leaves below the viewport shows the text area's colour.
    setBackgroundRole(QPalette::Base);
    setAutoFillBackground(true);
}

void CMessageLog::resizeEvent(QResizeEvent* event) {
    QTextEdit::resizeEvent(event);
    FitWholeLines();
}

// The height of one line of the log's text as the document lays it out: the last block is the
// text the log appended last, or the empty line that its line end opened.
int CMessageLog::LineStep() const {
    const QTextBlock last = document()->lastBlock();
    const QRectF box = document()->documentLayout()->blockBoundingRect(last);
    const int lines = last.layout() ? last.layout()->lineCount() : 0;
    return lines > 0 ? std::max(1, qRound(box.height() / lines)) : fontMetrics().lineSpacing();
}

// Shortens the viewport by the remainder of whole lines, so that the document's end (its last
// line and bottom margin) meets the viewport's bottom edge with the top edge on a line boundary.
// The document itself is not touched: a margin set there would be an undo step.
void CMessageLog::FitWholeLines() {
    const int step = LineStep();
    verticalScrollBar()->setSingleStep(step);
    const QTextFrameFormat frame = document()->rootFrame()->frameFormat();
    const int bottom = qRound(frame.bottomMargin() + frame.border() + frame.padding());
    const int room = viewport()->height() + viewportMargins().bottom();
    const int spare = room > bottom ? (room - bottom) % step : 0;
    if (viewportMargins().bottom() != spare)
        setViewportMargins(0, 0, 0, spare);
}

QString CMessageLog::TimeStampPrefix() {
    const std::string stamp = LogStampNow();
    return QString::fromUtf8(stamp.data(), static_cast<qsizetype>(stamp.size()));
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
    AppendLog(text, color, timeStamp ? TimeStampPrefix() : QString());
}

void CMessageLog::AppendLog(const std::string& text, std::uint32_t color, const QString& stamp) {
    if (!stamp.isEmpty())
        Insert(stamp, kLogStampColor);
    Insert(LineEnds(EscapeControls(text, Controls::kKeepLineEnds)), color);
    FitWholeLines();
    const int lines = document()->lineCount();
    if (lines > kVisibleLines) {
        // Down by the lines beyond ten from the line at the top now, in the log's own line
        // height, to the top edge of a line (the end of the range is one).
        QScrollBar* bar = verticalScrollBar();
        const int step = bar->singleStep();
        const int first =
            qRound(document()->documentLayout()->blockBoundingRect(document()->begin()).top());
        const int top = std::max(0, bar->value() - first) / step;
        bar->setValue(std::min(first + (top + lines - kVisibleLines) * step, bar->maximum()));
    }
}

void CMessageLog::ClearLog() {
    clear();  // also empties the undo history
}
