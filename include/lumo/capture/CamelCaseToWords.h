#pragma once

#include <string>
#include <string_view>

#include "lumo/Export.h"

namespace lumo {

// Splits a camel-case name into capitalised words: a space goes before every ASCII capital
// that is followed by an ASCII lower-case letter, the ends are trimmed of white space, and
// every word is title-cased (ICU, word boundaries), so that runs of capitals fold too.
//
//   camelCaseToWords("OtherItem");   // "Other Item"
//   camelCaseToWords("screenShot");  // "Screen Shot"
//   camelCaseToWords("GIF");         // "Gif"
//
// Text and result are UTF-8.
LUMO_API std::string camelCaseToWords(std::string_view text);

}  // namespace lumo
