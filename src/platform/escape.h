// Text from outside (script lines, arguments, item names) on its way to a
// terminal or a log line.
#pragma once

#include <string>
#include <string_view>

// text with every control character written as \xHH: C0, DEL and C1, whether
// C1 comes as a single byte (which an 8-bit terminal obeys) or as its UTF-8
// form. Other bytes pass as they are, so no line break can be forged and no
// terminal sequence can start.
std::string EscapeControls(const std::string &text);
// The same, appended to out: a log line is built without a copy of each part.
void AppendControlsEscaped(std::string *out, std::string_view text);
