#pragma once

#include <string>
#include <vector>

#include "Host.h"
#include "Output.h"

// The commands of `lumo`. Each writes its results to `output` and returns the exit status.
namespace lumo::cli {

// `token` "-": read from standard input.
int login(Output& output, std::string token);
int logout(Output& output);
int profile(Output& output);
int status(Output& output, Host& host, const std::vector<std::string>& files);
int importFiles(Output& output, const std::vector<std::string>& files);
int inbox(Output& output);
// Makes captures, shares them against the configured service and fetches them back.
int demo(Output& output, Host& host);

}  // namespace lumo::cli
