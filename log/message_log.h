#pragma once

#include <QTextEdit>
#include <cstdint>
#include <string>

// The message log: coloured text appended at the end, optionally behind a time stamp
// "HH:MM:SS:mmm > " in 0x6C35A4 (LogStampNow: mmm is the system's millisecond tick count modulo
// 1000).
// Appends are undoable edits; a clear is not. Tab moves on to the next control as in a dialog.
// The view shows whole lines of the log's text: scrolled to the end, or by line steps, the top
// of the view sits on a line's top edge.
class CMessageLog : public QTextEdit {
    Q_OBJECT
  public:
    explicit CMessageLog(QWidget* parent = nullptr);

    // Text is 8-bit (UTF-8); "\r\n", "\n" and "\r" each end a line. The log adds no line ends.
    void AppendLog(const std::string& text, std::uint32_t color, bool timeStamp = false);
    // The same with the stamp taken earlier (empty for none): an entry shown later than it was
    // made keeps the time it was made.
    void AppendLog(const std::string& text, std::uint32_t color, const QString& stamp);
    void ClearLog();

    // The prefix a time-stamped entry gets now.
    static QString TimeStampPrefix();

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    void Insert(const QString& text, std::uint32_t color);
    int LineStep() const;
    void FitWholeLines();
};
