#include "lumo/support/TypeName.h"

#include <cxxabi.h>

#include <cctype>
#include <cstdlib>
#include <memory>

namespace lumo {
namespace {

bool isIdentifierChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

}  // namespace

std::string unqualifiedTypeName(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  std::string full = status == 0 && demangled ? demangled.get() : type.name();

  static constexpr std::string_view kAnonymous = "(anonymous namespace)::";
  for (auto at = full.find(kAnonymous); at != std::string::npos; at = full.find(kAnonymous)) {
    full.erase(at, kAnonymous.size());
  }
  // Drop every qualifier: an identifier followed by "::".
  std::string out;
  out.reserve(full.size());
  for (std::size_t i = 0; i < full.size(); ++i) {
    if (full[i] == ':' && i + 1 < full.size() && full[i + 1] == ':') {
      while (!out.empty() && isIdentifierChar(out.back())) out.pop_back();
      ++i;
      continue;
    }
    out.push_back(full[i]);
  }
  // The standard string reads as the name everyone uses for it.
  static constexpr std::string_view kString =
      "basic_string<char, char_traits<char>, allocator<char> >";
  for (auto at = out.find(kString); at != std::string::npos; at = out.find(kString)) {
    out.replace(at, kString.size(), "string");
  }
  return out;
}

}  // namespace lumo
