#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <map>
#include <thread>

#include "../common/TestFiles.h"
#include "lumo/platform/UserDefaults.h"

namespace lumo {
namespace {

using namespace testing_files;
using Data = UserDefaults::Data;

// Started with LUMO_WRITER="FILE PREFIX COUNT [DIE_AFTER]", this executable is a writer of its
// own: for i = 1..COUNT (forever when 0) it stores i under "PREFIX.i" and "PREFIX.last" and
// PREFIX under "shared", then prints "ack i". After "ack DIE_AFTER" a signal ends it a moment
// later, in the middle of some write.
const bool kWriter = [] {
  const char* args = std::getenv("LUMO_WRITER");
  if (!args) return false;
  std::istringstream in(args);
  std::string file, prefix;
  std::int64_t count = 0, dieAfter = -1;
  in >> file >> prefix >> count >> dieAfter;
  UserDefaults defaults{fs::path(file)};
  for (std::int64_t i = 1; count == 0 || i <= count; ++i) {
    if (!defaults.set(i, prefix + "." + std::to_string(i)) || !defaults.set(i, prefix + ".last") ||
        !defaults.set(prefix, "shared"))
      std::_Exit(1);
    std::printf("ack %lld\n", static_cast<long long>(i));
    std::fflush(stdout);
    if (i == dieAfter) ::ualarm(500, 0);  // SIGALRM: ends the process without any clean-up
  }
  std::_Exit(0);
}();
// A writer in a process of its own.
std::string writer(const fs::path& file, const std::string& prefix, int count, int dieAfter = -1) {
  return "LUMO_WRITER='" + file.native() + " " + prefix + " " + std::to_string(count) + " " +
         std::to_string(dieAfter) + "' /proc/" + std::to_string(::getpid()) + "/exe";
}

// The acknowledged counts of the writers started by `command`, in order.
std::vector<std::int64_t> acks(const std::string& command) {
  std::vector<std::int64_t> acks;
  std::istringstream out(run(command + "; true"));  // killed writers are expected
  for (std::string word; out >> word;) {
    EXPECT_TRUE(word == "ack" && out >> word) << word;
    acks.push_back(std::atoll(word.c_str()));
  }
  return acks;
}

UserDefaultsError::Code code(const Result<void>& r) {
  return r ? UserDefaultsError::Code{} : r.error().as<UserDefaultsError>()->code;
}
std::string message(const Result<void>& r) {
  return r ? "" : r.error().localizedDescription();
}

using Profile = std::map<std::string, std::vector<int>>;

template <typename T, typename V>
bool unarchivesAs(const V& value) {
  return UserDefaults::unarchive<T>(*UserDefaults::archive(value)).ok();
}

struct UserDefaultsTest : ::testing::Test {
  TempDir folder_;
  fs::path file_ = folder_ / "store" / "UserDefaults.sqlite";
};

TEST_F(UserDefaultsTest, EachValueReadsBackOnlyAsItsOwnTypeAndWhatCannotBeStoredIsRefused) {
  // clang-format off
  const std::pair<const char*, UserDefaults::Value> values[] = {
      {"string", std::string("text with \"quotes\" and ünïcode")}, {"flag", true}, {"half", 0.5},
      {"min", std::numeric_limits<std::int64_t>::min()}, {"max", std::numeric_limits<std::int64_t>::max()},
      {"bytes", Data{0x00, 0xff, 0x03, 0x00}}, {"", Data()}};
  // clang-format on
  const Profile profile{{"me@example.com", {120, 100}}};
  {
    UserDefaults writer(file_);
    for (const auto& [key, value] : values) ASSERT_TRUE(writer.set(value, key)) << key;
    ASSERT_TRUE(writer.setArchived(profile, "profile"));
  }
  UserDefaults defaults(file_);
  for (const auto& [key, value] : values) {
    EXPECT_EQ(defaults.object(key), value) << key;
    // A boolean is not an integer, text is no data.
    EXPECT_EQ(defaults.string(key).has_value() + 2 * defaults.integer(key).has_value() +
                  4 * defaults.boolValue(key).has_value() +
                  8 * defaults.doubleValue(key).has_value() + 16 * defaults.data(key).has_value(),
              1 << value.index())
        << key;
  }
  EXPECT_EQ(defaults.dictionaryRepresentation()->size(), std::size(values) + 1);
  EXPECT_FALSE(defaults.archived<std::string>("profile") ||
               defaults.archived<std::string>("string"));
  ASSERT_TRUE(defaults.archived<Profile>("profile") == profile && defaults.set("now text", "flag"));
  EXPECT_EQ(defaults.string("flag"), "now text");
  EXPECT_TRUE(defaults.removeObject("flag") && defaults.removeObject("never stored") &&
              !defaults.object("flag"));
  EXPECT_NE(message(defaults.set(std::nan(""), "nan")).find("\"nan\""), std::string::npos);
  EXPECT_FALSE(defaults.set(std::numeric_limits<std::uint64_t>::max(), "huge") ||
               defaults.object("huge"));
  // Archived values of another kind are refused instead of converted.
  EXPECT_TRUE((unarchivesAs<std::int64_t>(5) && unarchivesAs<double>(2)));
  EXPECT_FALSE((unarchivesAs<std::int64_t>(true) || unarchivesAs<std::int64_t>(1.5) ||
                unarchivesAs<std::uint64_t>(-1) || unarchivesAs<std::uint8_t>(300) ||
                unarchivesAs<bool>(1) || unarchivesAs<std::string>(2) ||
                unarchivesAs<Profile>(std::string("me")) ||
                UserDefaults::unarchive<int>(Data{0xff, 0x00, 'x'})));
  EXPECT_EQ(UserDefaults::archive(std::string("\xff")).error().as<UserDefaultsError>()->code,
            UserDefaultsError::Code::archiving);
}

TEST_F(UserDefaultsTest, UnopenableDamagedOrForeignStoresGiveErrorsNamingThem) {
  writeFile(folder_ / "plain", "x");
  for (const fs::path& bad : {folder_.path(), folder_ / "plain/x.sqlite"})
    EXPECT_EQ(code(UserDefaults(bad).set(1, "key")), UserDefaultsError::Code::cannotOpen) << bad;
  writeFile(file_, std::string(5000, 'x'));
  {
    UserDefaults defaults(file_);
    auto write = defaults.set(1, "key");
    EXPECT_EQ(code(write), UserDefaultsError::Code::notADatabase);
    EXPECT_NE(message(write).find(file_.string()), std::string::npos);
    EXPECT_FALSE(defaults.fetch("key") || defaults.dictionaryRepresentation() ||
                 defaults.removeObject("key"));
    fs::remove(file_);  // once the file is replaced the same object works again
    for (int i = 0; i < 300; ++i)
      ASSERT_TRUE(defaults.set(std::string(200, 'v'), std::to_string(i)));
  }
  // Everything after the first page overwritten: the schema stays readable, the rows do not.
  std::fstream(file_, std::ios::in | std::ios::out | std::ios::binary).seekp(4096)
      << std::string(static_cast<std::size_t>(fs::file_size(file_)) - 4096, '\xa5');
  EXPECT_FALSE(UserDefaults(file_).dictionaryRepresentation());
  // A store of a newer version of the application (its header's user_version is 99).
  { ASSERT_TRUE(UserDefaults(folder_ / "newer").set(1, "key")); }
  std::fstream(folder_ / "newer", std::ios::in | std::ios::out | std::ios::binary).seekp(60)
      << std::string("\0\0\0\x63", 4);
  const auto newer = UserDefaults(folder_ / "newer").fetch("key");
  EXPECT_NE(newer.error().localizedDescription().find("newer version"), std::string::npos);
}

TEST_F(UserDefaultsTest, KilledWritersLoseNoAcknowledgedWriteAndConcurrentWritersNone) {
  UserDefaults shared(file_);  // open before the writers: it sees what they write
  for (const std::int64_t killAt : {50, 120}) {
    const std::string prefix = "kill" + std::to_string(killAt);
    const auto written = acks(writer(file_, prefix, 0, killAt));
    ASSERT_GE(written.empty() ? 0 : written.back(), killAt);
    const std::int64_t lastAck = written.back();
    ASSERT_TRUE(UserDefaults(file_).dictionaryRepresentation());  // readable
    for (std::int64_t i = 1; i <= lastAck; ++i)
      ASSERT_EQ(shared.integer(prefix + "." + std::to_string(i)), i);
    // The write in flight at the kill is either wholly there or wholly absent.
    const auto last = shared.integer(prefix + ".last");
    EXPECT_TRUE(last == lastAck || last == lastAck + 1) << *last << " after ack " << lastAck;
  }
  const std::size_t before = shared.dictionaryRepresentation()->size();
  // Processes race with threads, half of which write through one shared object.
  constexpr int kProcesses = 3, kThreads = 4, kWrites = 100;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      UserDefaults own(file_);
      UserDefaults& defaults = t % 2 ? own : shared;
      for (int i = 1; i <= kWrites; ++i) {
        const std::string key = "thread" + std::to_string(t) + "." + std::to_string(i);
        failures += !defaults.set(i, key) || defaults.integer(key) != i;
      }
    });
  std::string children;
  for (int p = 0; p < kProcesses; ++p)
    children += writer(file_, "p" + std::to_string(p), kWrites) + " & ";
  const auto written = acks(children + "wait");
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(written.begin(), written.end(), kWrites), kProcesses);
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(shared.dictionaryRepresentation()->size(),
            before + (kProcesses + kThreads) * kWrites + kProcesses);  // and each ".last"
}

TEST(UserDefaultsStandard, IsTheNamedApplicationsStoreUnderXdgConfigHome) {
  // The only test that opens the standard store.
  const TempDir configHome;
  const ScopedEnv config("XDG_CONFIG_HOME", configHome.path().native());
  EXPECT_EQ(UserDefaults::applicationIdentifier(), "lumo");
  EXPECT_FALSE(UserDefaults::setApplicationIdentifier("bad/name") ||
               UserDefaults::setApplicationIdentifier(".."));
  ASSERT_TRUE(UserDefaults::setApplicationIdentifier("com.example.capture"));
  auto& standard = UserDefaults::standard();
  EXPECT_EQ(standard.file(), configHome.path() / "com.example.capture" / "UserDefaults.sqlite");
  ASSERT_TRUE(standard.set("token", "access_token"));
  EXPECT_EQ(fs::status(configHome.path() / "com.example.capture").permissions(),
            fs::perms::owner_all);
  EXPECT_EQ(code(UserDefaults::setApplicationIdentifier("com.example.other")),
            UserDefaultsError::Code::tooLate);
  EXPECT_EQ(UserDefaults::applicationIdentifier(), "com.example.capture");
  EXPECT_EQ(UserDefaults::named("com.example.capture").value()->string("access_token"), "token");
  EXPECT_FALSE(UserDefaults::named(""));
}

}  // namespace
}  // namespace lumo
