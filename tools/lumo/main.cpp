// lumo: shares screen captures through LumoShared from a terminal or a script.

#include <fcntl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <iostream>
#include <sstream>
#include <system_error>

#include "Commands.h"
#include "Config.h"
#include "DesktopCommands.h"
#include "Host.h"
#include "Interrupt.h"
#include "Output.h"
#include "ShareRun.h"
#include "lumo/api/APISettings.h"

namespace {

using namespace lumo::cli;

int showConfig(Output& output) {
  const auto config = Config::load();
  auto describe = [](const Config::Value& v) {
    return v.value.empty() ? std::string("(not set)") : v.value + "  (" + v.source + ")";
  };
  output.emit({{"ok", true},
               {"configFile", Config::file().string()},
               {"apiBase", config.apiBase.value},
               {"apiBaseSource", config.apiBase.source},
               {"shareBase", config.shareBase.value},
               {"shareBaseSource", config.shareBase.source}},
              "config file: " + Config::file().string() + "\napi-base:    " +
                  describe(config.apiBase) + "\nshare-base:  " + describe(config.shareBase));
  return 0;
}

void usageError(const std::string& message) {
  std::cerr << "error: " << message << "\n";
}

// The results are the point of the run: when they could not all be written, it failed.
int checked(const Output& output, int status) {
  if (const int error = output.writeError()) {
    std::cerr << "error: cannot write the results to standard output: "
              << std::generic_category().message(error) << "\n";
    return status == 0 ? 1 : status;
  }
  return status;
}

// Quiet: the library's own lines, which go to descriptor 1 (see Output), are dropped too.
void silenceLibraryLines() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  ::dup2(null, STDOUT_FILENO);
  ::close(null);
}

}  // namespace

// A function-try-block: an exception that escaped would end the process without unwinding.
int main(int argc, char** argv) try {
  Output& output = Output::takeStandardOutput();
  Interrupt::install();

  CLI::App app{"lumo: share screen captures through a LumoShared service", "lumo"};
  app.require_subcommand(1);
  app.fallthrough();  // `lumo share --verbose FILE` as well as `lumo --verbose share FILE`
  app.set_version_flag("--version", std::string("lumo ") + LUMO_VERSION);
  app.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "error: " + std::string(e.what()) + "\nRun `lumo --help` for more information.\n";
  });
  bool verbose = false;
  bool quiet = false;
  bool json = false;
  app.add_flag("-v,--verbose", verbose, "Show the library's debug log on standard error");
  app.add_flag("-q,--quiet", quiet, "Standard error shows only the error: lines");
  auto* helpCommand = app.add_subcommand("help", "Show this help");
  auto withJson = [&json](CLI::App* command) {
    command->add_flag("--json", json, "One JSON object per line for each event and result");
    return command;
  };

  std::string token;
  auto* loginCommand =
      withJson(app.add_subcommand("login", "Keep the API token for later commands"));
  loginCommand->add_option("TOKEN", token, "The API token; - reads it from standard input")
      ->required();
  bool noVerify = false;
  loginCommand->add_flag("--no-verify", noVerify, "Keep the token without asking the service");
  auto* logoutCommand = withJson(app.add_subcommand("logout", "Forget the API token"));
  auto* profileCommand = withJson(
      app.add_subcommand("profile", "Refresh the profile; show the limits and what is left"));
  std::vector<std::string> files;
  auto* shareCommand = withJson(app.add_subcommand(
      "share", "Share files (screenshots, screencasts, GIFs, anything); print their links"));
  shareCommand->add_option("FILE", files, "Files to share")->required();
  auto* statusCommand = withJson(
      app.add_subcommand("status", "Share states of the files, or of every capture recorded"));
  statusCommand->add_option("FILE", files, "Files to report");
  auto* checkCommand = withJson(
      app.add_subcommand("check", "Ask the delivery address whether the files are still there"));
  checkCommand->add_option("FILE", files, "Files to check")->required();
  double timeoutSeconds = 0;
  checkCommand
      ->add_option("--timeout", timeoutSeconds,
                   "Seconds without an answer before the delivery address counts as timed out "
                   "(default: the request's own 60)")
      ->check(CLI::PositiveNumber);
  auto* deleteCommand =
      withJson(app.add_subcommand("delete", "Remove the files' uploads from the service"));
  deleteCommand->add_option("FILE", files, "Files to delete remotely")->required();
  auto* importCommand = withJson(app.add_subcommand(
      "import", "Take files into the shared storage, as the share extension does"));
  importCommand->add_option("FILE", files, "Files to take in")->required();
  auto* inboxCommand =
      withJson(app.add_subcommand("inbox", "List the files waiting in the shared storage"));
  auto* configCommand =
      withJson(app.add_subcommand("config", "Show or set the service addresses (config show|set)"));
  configCommand->add_subcommand("show", "Show the addresses and where they come from");
  std::string key;
  std::string value;
  auto* setCommand = configCommand->add_subcommand("set", "Write an address to the config file");
  setCommand->fallthrough();
  setCommand->add_option("KEY", key, "api-base or share-base")
      ->required()
      ->check(CLI::IsMember({"api-base", "share-base"}));
  setCommand->add_option("VALUE", value, "The address, e.g. https://api.example.com")->required();
  CaptureOptions captureOptions;
  auto* captureCommand =
      withJson(app.add_subcommand("capture", "Take a screenshot, save it as a capture, share it"));
  using Area = CaptureOptions::Area;
  auto* screenFlag = captureCommand->add_flag_callback(
      "--screen", [&] { captureOptions.area = Area::screen; }, "The whole screen (the default)");
  auto* regionFlag = captureCommand->add_flag_callback(
      "--region", [&] { captureOptions.area = Area::region; }, "A region chosen with the mouse");
  auto* windowFlag = captureCommand->add_flag_callback(
      "--window", [&] { captureOptions.area = Area::window; }, "A window chosen with the mouse");
  screenFlag->excludes(regionFlag, windowFlag);
  regionFlag->excludes(windowFlag);
  captureCommand
      ->add_option("--delay", captureOptions.delaySeconds, "Seconds to wait before the capture")
      ->check(CLI::NonNegativeNumber);
  bool noShare = false;
  captureCommand->add_flag("--no-share", noShare, "Only save the capture; print its path");
  RecordOptions recordOptions;
  auto* recordCommand = withJson(app.add_subcommand(
      "record", "Record a screencast until Ctrl-C (or for --seconds), then share it"));
  recordCommand->add_flag("--region", recordOptions.region, "A region chosen with the mouse");
  recordCommand->add_option("--seconds", recordOptions.seconds, "Stop after this many seconds")
      ->check(CLI::PositiveNumber);
  auto* pasteCommand = withJson(app.add_subcommand(
      "paste", "Share what the clipboard holds: an image, or a list of copied files"));
  auto* demoCommand = app.add_subcommand(
      "demo", "Make a screenshot, screencast, GIF and PDF, share them and fetch them back");
  bool keepDemo = false;
  demoCommand->add_flag("--keep", keepDemo, "Keep the demo's folders and print where they are");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out;
    std::ostringstream err;
    const int rc = app.exit(e, out, err);
    output.raw(out.str());
    std::cerr << err.str();
    return checked(output, rc == 0 ? 0 : 2);
  }
  output.setJson(json);
  if (helpCommand->parsed()) {
    // Help on the program, not on the `help` command that asked for it.
    output.raw(app.get_formatter()->make_help(&app, "lumo", CLI::AppFormatMode::Normal));
    return checked(output, 0);
  }
  Interrupt::announce(!quiet);
  if (quiet) silenceLibraryLines();

  if (configCommand->parsed()) {
    if (setCommand->parsed()) {
      if (auto why = Config::set(key, value)) {
        usageError(*why);
        return 2;
      }
    }
    return checked(output, showConfig(output));
  }

  const auto config = Config::load();
  const bool needsService =
      profileCommand->parsed() || shareCommand->parsed() || checkCommand->parsed() ||
      deleteCommand->parsed() || demoCommand->parsed() || (loginCommand->parsed() && !noVerify) ||
      (captureCommand->parsed() && !noShare) || recordCommand->parsed() || pasteCommand->parsed();
  if (needsService) {
    if (auto why = config.missing()) {
      usageError(*why);
      return 2;
    }
    if (auto why = config.invalid()) {
      usageError(*why);
      return 2;
    }
  }
  // The demo signs in with an account of its own, in folders of its own.
  std::optional<DemoHome> demoHome;
  if (demoCommand->parsed()) demoHome.emplace(keepDemo);
  if (!config.apiBase.value.empty() || !config.shareBase.value.empty()) {
    lumo::APISettings::setServiceAddresses({config.apiBase.value, config.shareBase.value});
  }

  std::string whyNot;
  Host::Options hostOptions{verbose, ::isatty(STDERR_FILENO) == 1, quiet, std::nullopt};
  if (timeoutSeconds > 0) {
    hostOptions.requestTimeout = std::chrono::milliseconds(std::llround(timeoutSeconds * 1000));
  }
  auto host = Host::install(hostOptions, &whyNot);
  if (!host) {
    usageError(whyNot);
    return 1;
  }

  if (loginCommand->parsed()) return checked(output, login(output, token, !noVerify));
  if (logoutCommand->parsed()) return checked(output, logout(output));
  if (profileCommand->parsed()) return checked(output, profile(output));
  if (statusCommand->parsed()) return checked(output, status(output, *host, files));
  if (importCommand->parsed()) return checked(output, importFiles(output, files));
  if (inboxCommand->parsed()) return checked(output, inbox(output));
  if (demoHome) return checked(output, demo(output, *host, *demoHome));
  if (captureCommand->parsed()) {
    captureOptions.share = !noShare;
    return checked(output, capture(output, *host, captureOptions));
  }
  if (recordCommand->parsed()) return checked(output, record(output, *host, recordOptions));
  if (pasteCommand->parsed()) return checked(output, paste(output, *host));
  ShareRun run(output, *host);
  if (shareCommand->parsed()) return checked(output, run.share(files));
  if (checkCommand->parsed()) return checked(output, run.check(files));
  return checked(output, run.remove(files));
} catch (const std::exception& e) {
  std::cerr << "error: " << e.what() << "\n";
  return 1;
}
