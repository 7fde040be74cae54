#include "StandardOutput.h"

#include <cstdio>
#include <iostream>
#include <mutex>

namespace lumo::extension_detail {

std::string escapedControlCharacters(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      escaped += c;
      continue;
    }
    switch (c) {
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", byte);
        escaped += hex;
      }
    }
  }
  return escaped;
}

void printLine(std::string_view text) {
  static std::mutex* mu = new std::mutex();  // never destroyed: lines may come during exit
  std::string line = escapedControlCharacters(text);
  line += '\n';
  std::lock_guard lock(*mu);
  std::cout << line << std::flush;
}

}  // namespace lumo::extension_detail
