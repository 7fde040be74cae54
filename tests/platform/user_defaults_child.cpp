// A second process for the user-defaults tests.
//
//   user_defaults_child (--file PATH | --app IDENTIFIER) COMMAND ARGS...
//
// --file opens the store in PATH; --app names the application and opens `standard()`.
// Commands:
//   get KEY...               one line per key: "absent", "string TEXT", "integer N",
//                            "boolean true|false", "real X", "data HEX", or "error MESSAGE"
//   set-string KEY TEXT      "ok" or "error MESSAGE"
//   remove KEY               likewise
//   write-loop PREFIX COUNT  prints "pid N", then for i = 1..COUNT (forever when COUNT is 0)
//                            stores i under "PREFIX.i" and "PREFIX.last" and PREFIX under
//                            "shared", then prints "ack i"; stops with "error MESSAGE" on the
//                            first failure
// The exit status is 0 on success, 1 on a failed operation, 2 on bad arguments.

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "lumo/platform/UserDefaults.h"

namespace {

int fail(const lumo::Error& error) {
  std::printf("error %s\n", error.localizedDescription().c_str());
  return 1;
}

int answer(const lumo::Result<void>& result) {
  if (!result) return fail(result.error());
  std::printf("ok\n");
  return 0;
}

void print(const lumo::UserDefaults::Value& value) {
  std::visit(
      [](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::string>) {
          std::printf("string %s\n", v.c_str());
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          std::printf("integer %" PRId64 "\n", v);
        } else if constexpr (std::is_same_v<T, bool>) {
          std::printf("boolean %s\n", v ? "true" : "false");
        } else if constexpr (std::is_same_v<T, double>) {
          std::printf("real %.17g\n", v);
        } else {
          std::printf("data ");
          for (auto byte : v) std::printf("%02x", byte);
          std::printf("\n");
        }
      },
      value);
}

int writeLoop(lumo::UserDefaults& defaults, const std::string& prefix, std::int64_t count) {
  std::printf("pid %d\n", static_cast<int>(::getpid()));
  for (std::int64_t i = 1; count == 0 || i <= count; ++i) {
    for (const auto& key : {prefix + "." + std::to_string(i), prefix + ".last"}) {
      if (auto r = defaults.set(i, key); !r) return fail(r.error());
    }
    if (auto r = defaults.set(prefix, "shared"); !r) return fail(r.error());
    std::printf("ack %" PRId64 "\n", i);
  }
  return 0;
}

int run(lumo::UserDefaults& defaults, const std::vector<std::string>& args) {
  const std::string& command = args[0];
  if (command == "get") {
    for (std::size_t i = 1; i < args.size(); ++i) {
      auto value = defaults.fetch(args[i]);
      if (!value) return fail(value.error());
      if (*value) {
        print(**value);
      } else {
        std::printf("absent\n");
      }
    }
    return 0;
  }
  if (command == "set-string" && args.size() == 3) return answer(defaults.set(args[2], args[1]));
  if (command == "remove" && args.size() == 2) return answer(defaults.removeObject(args[1]));
  if (command == "write-loop" && args.size() == 3) {
    return writeLoop(defaults, args[1], std::strtoll(args[2].c_str(), nullptr, 10));
  }
  std::fprintf(stderr, "unknown command\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s (--file PATH | --app ID) COMMAND ARGS...\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  std::vector<std::string> args(argv + 3, argv + argc);
  if (mode == "--file") {
    lumo::UserDefaults defaults{std::filesystem::path(argv[2])};
    return run(defaults, args);
  }
  if (mode == "--app") {
    if (auto r = lumo::UserDefaults::setApplicationIdentifier(argv[2]); !r) return fail(r.error());
    return run(lumo::UserDefaults::standard(), args);
  }
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
