#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "Host.h"
#include "Output.h"

// The commands of `lumo`. Each writes its results to `output` and returns the exit status.
namespace lumo::cli {

// `token` "-": read from standard input. `verify`: only a token the service accepts is kept.
int login(Output& output, std::string token, bool verify);
int logout(Output& output);
int profile(Output& output);
int status(Output& output, Host& host, const std::vector<std::string>& files);
int importFiles(Output& output, const std::vector<std::string>& files);
int inbox(Output& output);
// The demo's own home: a temporary folder that HOME and the XDG folders point into from
// construction on, so that its sign-in, states and captures never touch the user's. Removed at
// destruction unless kept. Construct it before the services start their threads.
class DemoHome {
 public:
  explicit DemoHome(bool keep);
  ~DemoHome();
  DemoHome(const DemoHome&) = delete;
  DemoHome& operator=(const DemoHome&) = delete;

  const std::filesystem::path& root() const { return root_; }
  bool kept() const { return keep_; }

 private:
  std::filesystem::path root_;
  bool keep_;
};

// Makes captures in `home`, shares them against the configured service and fetches them back.
int demo(Output& output, Host& host, const DemoHome& home);

}  // namespace lumo::cli
