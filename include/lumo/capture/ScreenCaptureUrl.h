#pragma once

#include <map>
#include <optional>
#include <string>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// The identity of a capture in the share states: the URL's path after the last occurrence of
// "Documents". For a file in the documents folder that is "/" and the rest of the path; a
// path without the word is returned whole, and one ending in it gives "".
//
//   relativeScreenCapturePath(Url::fileURL("/Users/me/Documents/a.png"));  // "/a.png"
LUMO_API std::string relativeScreenCapturePath(const Url& url);

// The URL's query as a dictionary: items are folded in order, an item with a value sets its
// name (a later one wins), an item without "=" removes its name again. nullopt when the URL
// has no query; an empty query gives an empty dictionary.
//
//   queryParameters(*Url::parse("https://h/p?x=1&y=2&x=3"));  // {x: 3, y: 2}
//   queryParameters(*Url::parse("https://h/p?x=1&x"));        // {}
LUMO_API std::optional<std::map<std::string, std::string>> queryParameters(const Url& url);

}  // namespace lumo
