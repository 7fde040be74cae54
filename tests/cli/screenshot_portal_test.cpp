// The portal back-end against a portal of our own (portal_service.py) on a private bus, which
// starts it on the first call as a desktop's bus starts the real one.
#include <gtest/gtest.h>
#include <signal.h>

#include <sstream>
#include <vector>

#include "ScreenshotPortal.h"
#include "TestFiles.h"

namespace {

using namespace lumo::testing_files;
using lumo::cli::ScreenshotPortal;
using Kind = ScreenshotPortal::Outcome::Kind;
using Clock = std::chrono::steady_clock;

// The session bus of a test: `bus` is "portal" or "bare", a private bus of dbus-daemon's so
// configured, whose portal works in `folder`; else an address, or "" for none at all.
struct SessionBus {
  SessionBus(std::string_view bus, const fs::path& folder) {
    ::setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);  // where the default bus is: none
    ::setenv("LUMO_PORTAL_FOLDER", folder.c_str(), 1);
    std::string address(bus);  // a private bus prints it once it listens, when --fork returns
    const std::string config = LUMO_PORTAL_BUSES "/" + address + ".conf";
    if (bus == "portal" || bus == "bare")
      std::istringstream(
          run("dbus-daemon --fork --print-address=1 --print-pid=1 --config-file=" + config)) >>
          address >> pid;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    if (address.empty()) ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }
  SessionBus(const SessionBus&) = delete;
  ~SessionBus() {
    if (pid > 0) ::kill(pid, SIGTERM);  // the portal exits with its bus
  }
  pid_t pid = 0;
};

TEST(ScreenshotPortal, GivesWhatThePortalAnswers) {
  // bus: as SessionBus takes it; mode: what our portal does (portal_service.py); interrupt:
  // Ctrl-C once the portal has the request; fileOrWhy: the file's name in the folder when
  // taken, else part of the error.
  const auto in = [](int seconds) { return Clock::now() + std::chrono::seconds(seconds); };
  const struct {
    std::string_view bus, mode;
    bool interactive, interrupt;
    int seconds;  // until the deadline
    Kind kind;
    const char* fileOrWhy;
  } rows[] = {
      {"portal", "taken", false, false, 30, Kind::taken, "Screen Shot full ü#1.png"},
      {"portal", "taken", true, false, 30, Kind::taken, "Screen Shot picked ü#1.png"},
      {"portal", "moved", false, false, 30, Kind::taken, "Screen Shot full ü#1.png"},
      {"portal", "cancel", true, false, 30, Kind::cancelled, ""},
      {"portal", "fail", false, false, 30, Kind::failed, "take the screenshot (response 2)"},
      {"portal", "nouri", false, false, 30, Kind::failed, "the portal's answer has no file"},
      {"portal", "web", false, false, 30, Kind::failed, "not a local file: https://example.com/"},
      {"portal", "refuse", false, false, 30, Kind::failed, "refused: screenshots are not allowed"},
      {"portal", "hang", false, true, 30, Kind::cancelled, ""},
      {"portal", "hang", false, false, 2, Kind::failed, "the portal did not answer in time"},
      {"bare", "taken", false, false, 30, Kind::failed, "no desktop portal on the session bus"},
      {"unix:path=/none", "taken", false, false, 30, Kind::failed, "no session bus answered"},
      {"", "taken", false, false, 30, Kind::failed, "no session bus answered"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.bus << " " << row.mode << " " << row.interactive);
    const TempDir folder;
    writeFile(folder / "mode", std::string(row.mode));
    writeFile(folder / "picture", "\x89PNG of " + std::string(row.mode));
    const SessionBus bus(row.bus, folder.path());
    EXPECT_EQ(ScreenshotPortal::available(in(30)), row.bus == "portal");
    const auto outcome = ScreenshotPortal::take(row.interactive, in(row.seconds), [&] {
      return row.interrupt && fs::exists(folder / "asked");
    });
    EXPECT_EQ(outcome.kind, row.kind) << outcome.error;
    const bool taken = row.kind == Kind::taken;
    EXPECT_EQ(outcome.file, taken ? folder / row.fileOrWhy : fs::path());
    EXPECT_EQ(readFile(outcome.file), taken ? readFile(folder / "picture") : "");
    EXPECT_NE(outcome.error.find(taken ? "" : row.fileOrWhy), std::string::npos) << outcome.error;
    // A request given up ends the desktop's dialog.
    EXPECT_EQ(fs::exists(folder / "closed"), row.mode == "hang");
  }
}

// `lumo capture` takes the portal's file into the captures folder, or leaves none (130).
TEST(ScreenshotPortal, LumoCaptureTakesThePortalsFile) {
  for (const std::string mode : {"taken", "cancel"}) {
    const TempDir folder;
    writeFile(folder / "mode", mode);
    writeFile(folder / "picture", "\x89PNG from the portal");
    const SessionBus bus("portal", folder.path());
    const std::string status =
        run("HOME=" + shellQuote(folder.path().string()) +
            " " LUMO_BINARY " capture --region --no-share >/dev/null 2>&1; echo $?");
    EXPECT_EQ(status, mode == "taken" ? "0\n" : "130\n");
    std::vector<fs::path> shots;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder / "Pictures/Lumo", ec))
      shots.push_back(entry.path());
    ASSERT_EQ(shots.size(), mode == "taken" ? 1u : 0u);
    if (mode == "taken") {
      EXPECT_TRUE(shots[0].filename().string().starts_with("Screen Shot ")) << shots[0];
      EXPECT_EQ(readFile(shots[0]), "\x89PNG from the portal");
      EXPECT_FALSE(fs::exists(folder / "Screen Shot picked ü#1.png"));  // moved, not copied
    }
  }
}

}  // namespace
