// Standard output as a person sees it: whether it is a terminal, colour
// (virtual-terminal sequences on a Windows console), text made safe for a
// terminal and measured in columns, and on a Windows console UTF-8 shown as
// the characters it encodes.
#ifndef VQLOG_CONSOLE_H_
#define VQLOG_CONSOLE_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

namespace vqlog {

// Whether colour goes to standard output: it is a terminal (on Windows a
// console that takes virtual-terminal sequences, turned on here) and
// NO_COLOR is not set.
bool StdoutWantsColor();

// The stream for standard output. On a Windows console it turns UTF-8 into
// UTF-16 for the console; redirected, and everywhere else, the bytes go out
// unchanged (no CR added before LF on Windows).
std::ostream& StandardOutput();
// Standard input as bytes (no CR LF translation on Windows).
void UseBinaryStandardInput();

// `text` with what would act on a terminal made visible: C0 and C1 controls,
// DEL, bidirectional overrides and isolates as \xHH or \u{HHHH}, and bytes
// that are not UTF-8 as \xHH.
std::string TerminalSafe(std::string_view text);
// Columns `text` takes on a terminal: one per character, two for wide East
// Asian characters, none for combining marks. Invalid UTF-8 counts one per
// byte.
size_t DisplayWidth(std::string_view text);

// True for a character that acts on a terminal rather than showing: C0 and
// C1 controls, DEL, bidirectional overrides and isolates.
bool ActsOnTerminal(char32_t c);
// Columns one character takes on a terminal: 0, 1 or 2.
int CharWidth(char32_t c);

}  // namespace vqlog

#endif  // VQLOG_CONSOLE_H_
