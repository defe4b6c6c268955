#pragma once

#include <string>
#include <string_view>

namespace tarnwick {

// `text` with backslashes and control bytes escaped ("\\", "\t", "\x1b", and `quote` as
// "\"" when given), so that a text from the configuration or from a peer can neither
// split a line, forge a field nor send a terminal escape sequence. Bytes from 0x80 up are
// kept as they are.
std::string EscapedText(std::string_view text, char quote = '\0');

// A line whose fields were escaped already and are joined by tabs: every control byte
// other than the tab as "\xNN", backslashes left alone. For a line that came from
// elsewhere and is about to be printed.
std::string EscapedLine(std::string_view line);

// True when `text` holds a control byte (below 0x20, or 0x7f).
bool HasControlByte(std::string_view text);

}  // namespace tarnwick
