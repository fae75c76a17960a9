#pragma once

#include <string>

// Text from a module, a file or a record as it may be shown on a terminal or in the window:
// every control character written out, so that none can act on the terminal (ESC [2J clearing
// the operator's screen) or fake a line. C0 controls and DEL become \xHH (ESC: \x1B), C1
// controls (U+0080 to U+009F) \u00HH, and a byte that is not part of valid UTF-8 \xHH. With
// kKeepLineEnds the tab and the line ends "\r" and "\n" stay, as the log uses them. Every
// front end prints through it; text it made is left as it is.
enum class Controls { kEscapeAll, kKeepLineEnds };
std::string EscapeControls(const std::string& text, Controls lineEnds = Controls::kEscapeAll);
