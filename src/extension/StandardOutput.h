#pragma once

#include <string>
#include <string_view>

namespace lumo::extension_detail {

// `text` with its control characters written as escapes ("\n", "\t", "\x1b"), so that a file
// name cannot break a diagnostic line in two or drive the terminal.
std::string escapedControlCharacters(std::string_view text);

// Writes `text` (escaped as above) and a newline to standard output in one piece, so that lines
// of several threads never interleave.
void printLine(std::string_view text);

}  // namespace lumo::extension_detail
