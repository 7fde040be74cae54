// A second process for the user-defaults tests.
//
//   user_defaults_child FILE PREFIX COUNT [DIE_AFTER]
//
// Opens the store in FILE; then for i = 1..COUNT (forever when COUNT is 0) stores i under
// "PREFIX.i" and "PREFIX.last" and PREFIX under "shared", then prints "ack i". Stops with
// "error MESSAGE" and status 1 on the first failure. After "ack DIE_AFTER" a signal ends the
// process a moment later, in the middle of some write.

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lumo/platform/UserDefaults.h"

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 4) return 2;
  lumo::UserDefaults defaults{std::filesystem::path(argv[1])};
  const std::string prefix = argv[2];
  const std::int64_t count = std::strtoll(argv[3], nullptr, 10);
  const std::int64_t dieAfter = argc > 4 ? std::strtoll(argv[4], nullptr, 10) : -1;
  for (std::int64_t i = 1; count == 0 || i <= count; ++i) {
    for (auto r : {defaults.set(i, prefix + "." + std::to_string(i)),
                   defaults.set(i, prefix + ".last"), defaults.set(prefix, "shared")}) {
      if (!r) {
        std::printf("error %s\n", r.error().localizedDescription().c_str());
        return 1;
      }
    }
    std::printf("ack %" PRId64 "\n", i);
    if (i == dieAfter) ::ualarm(500, 0);  // SIGALRM: ends the process without any clean-up
  }
  return 0;
}
