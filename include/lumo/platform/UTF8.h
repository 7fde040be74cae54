#pragma once

#include <cstddef>
#include <string_view>

#include "lumo/Export.h"

namespace lumo {

// Well-formed UTF-8 as ICU reads it: overlong forms, surrogates (U+D800...U+DFFF), code points
// beyond U+10FFFF and cut-short sequences are ill-formed. Every check of the library's text
// (page bodies, file names) goes through these two, so that they all agree.
//
//   isValidUTF8("caf\xC3\xA9");         // true
//   utf8CharacterLength("\xC3\xA9!");   // 2
//   utf8CharacterLength("\xFF!");       // 0

// The byte length of the well-formed character at the start of `text`; 0 when `text` is empty
// or does not start with one.
LUMO_API std::size_t utf8CharacterLength(std::string_view text);

// Whether all of `text` is well-formed UTF-8 (the empty text is).
LUMO_API bool isValidUTF8(std::string_view text);

}  // namespace lumo
