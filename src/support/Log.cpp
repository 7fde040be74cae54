#include "lumo/support/Log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "lumo/support/DoubleDescription.h"
#include "lumo/support/TypeName.h"

namespace lumo {
namespace {

void appendQuoted(std::string& out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out.push_back(c);
    }
  }
  out.push_back('"');
}

template <typename T>
bool appendIntegerIf(std::string& out, const std::any& value) {
  if (const T* v = std::any_cast<T>(&value)) {
    out += std::to_string(*v);
    return true;
  }
  return false;
}

void appendValue(std::string& out, const std::any& value) {
  if (!value.has_value() || value.type() == typeid(std::nullptr_t)) {
    out += "nil";
  } else if (const auto* s = std::any_cast<std::string>(&value)) {
    appendQuoted(out, *s);
  } else if (const auto* c = std::any_cast<const char*>(&value)) {
    appendQuoted(out, *c ? *c : "");
  } else if (const auto* v = std::any_cast<std::string_view>(&value)) {
    appendQuoted(out, *v);
  } else if (const auto* ch = std::any_cast<char>(&value)) {
    appendQuoted(out, std::string_view(ch, 1));
  } else if (const auto* b = std::any_cast<bool>(&value)) {
    out += *b ? "true" : "false";
  } else if (const auto* d = std::any_cast<double>(&value)) {
    out += describeDouble(*d);
  } else if (const auto* f = std::any_cast<float>(&value)) {
    out += describeDouble(static_cast<double>(*f));
  } else if (appendIntegerIf<int>(out, value) || appendIntegerIf<long>(out, value) ||
             appendIntegerIf<long long>(out, value) || appendIntegerIf<unsigned>(out, value) ||
             appendIntegerIf<unsigned long>(out, value) ||
             appendIntegerIf<unsigned long long>(out, value) ||
             appendIntegerIf<short>(out, value) || appendIntegerIf<unsigned short>(out, value)) {
  } else if (const auto* i8 = std::any_cast<signed char>(&value)) {
    out += std::to_string(static_cast<int>(*i8));
  } else if (const auto* u8 = std::any_cast<unsigned char>(&value)) {
    out += std::to_string(static_cast<int>(*u8));
  } else if (const auto* e = std::any_cast<Error>(&value)) {
    appendQuoted(out, e->localizedDescription());
  } else if (const auto* map = std::any_cast<LogInfo>(&value)) {
    out += Log::describe(*map);
  } else if (const auto* list = std::any_cast<std::vector<std::string>>(&value)) {
    out.push_back('[');
    for (std::size_t i = 0; i < list->size(); ++i) {
      if (i > 0) out += ", ";
      appendQuoted(out, (*list)[i]);
    }
    out.push_back(']');
  } else {
    out += unqualifiedTypeName(value.type());
  }
}

// One write per line, after whatever the process's stdio has buffered, so that lines stay
// whole and in order with other output.
void writeLine(std::string line) {
  line.push_back('\n');
  flockfile(stdout);
  std::fflush(stdout);
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      break;  // nowhere to report a broken standard output
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  funlockfile(stdout);
}

}  // namespace

Log::Log() = default;

std::string Log::describe(const LogInfo& info) {
  if (info.empty()) return "[:]";
  std::string out = "[";
  bool first = true;
  for (const auto& [key, value] : info) {
    if (!first) out += ", ";
    first = false;
    appendQuoted(out, key);
    out += ": ";
    appendValue(out, value);
  }
  out.push_back(']');
  return out;
}

bool Log::shown(bool showInReleaseMode) const {
  return showInReleaseMode || _environmentHelperService->isDebug();
}

void Log::error(const Error& error, const std::optional<LogInfo>& info, bool showInReleaseMode,
                bool /*sendToRollbar*/) {
  if (!shown(showInReleaseMode)) return;
  writeLine("\u2764\uFE0F " + error.localizedDescription() + ", " +
            describe(info ? *info : LogInfo{}));
}

void Log::error(const std::string& message) {
  if (!_environmentHelperService->isDebug()) return;
  writeLine("\u2764\uFE0F Error!. " + message);
}

void Log::info(const std::string& message, bool showInReleaseMode,
               const std::optional<LogInfo>& info) {
  if (!shown(showInReleaseMode)) return;
  writeLine("\U0001F49B " + message + ", " + describe(info ? *info : LogInfo{}));
}

void Log::debug(const std::string& message, bool showInReleaseMode) {
  if (!shown(showInReleaseMode)) return;
  writeLine(message);
}

}  // namespace lumo
