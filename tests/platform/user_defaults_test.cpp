#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/TestFiles.h"
#include "lumo/platform/UserDefaults.h"

namespace lumo {
namespace {

using namespace testing_files;
using Value = UserDefaults::Value;
using Data = UserDefaults::Data;

// The acknowledged counts of user_defaults_child runs started by `command`, in order.
std::vector<std::int64_t> acks(const std::string& command) {
  std::vector<std::int64_t> acks;
  std::istringstream out(run(command + "; true"));  // killed writers are expected
  for (std::string word; out >> word;) {
    if (word != "ack") ADD_FAILURE() << word;
    if (out >> word && word != "ack") acks.push_back(std::stoll(word));
  }
  return acks;
}
const std::string kChild = shellQuote(LUMO_USER_DEFAULTS_CHILD);

std::string sql(const fs::path& file, const char* statement) {  // the first column of the first row
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  std::string answer = "failed";
  if (sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
      sqlite3_prepare_v2(db, statement, -1, &stmt, nullptr) == SQLITE_OK) {
    const int step = sqlite3_step(stmt);
    answer = step == SQLITE_ROW    ? reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))
             : step == SQLITE_DONE ? "done"
                                   : "failed";
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return answer;
}

UserDefaultsError::Code code(const Result<void>& r) {
  return r ? UserDefaultsError::Code{} : r.error().as<UserDefaultsError>()->code;
}

class UserDefaultsTest : public ::testing::Test {
 protected:
  TempDir folder_;
  fs::path file_ = folder_ / "store" / "UserDefaults.sqlite";
};

TEST_F(UserDefaultsTest, EachTypeReadsBackOnlyAsItselfAndWhatCannotBeStoredIsRefused) {
  const std::pair<const char*, Value> values[] = {
      {"string", std::string("text with \"quotes\" and ünïcode")},
      {"min", std::numeric_limits<std::int64_t>::min()},
      {"max", std::numeric_limits<std::int64_t>::max()},
      {"flag", true},
      {"half", 0.5},
      {"bytes", Data{0x00, 0xff, 0x03, 0x00}},
      {"empty data", Data()},
      {"", std::string()}};
  {
    UserDefaults writer(file_);
    for (const auto& [key, value] : values) ASSERT_TRUE(writer.set(value, key)) << key;
  }
  UserDefaults defaults(file_);
  for (const auto& [key, value] : values) {
    SCOPED_TRACE(key);
    EXPECT_EQ(defaults.object(key), value);
    // The getters of the other types answer nothing: a boolean is not an integer, text no data.
    EXPECT_EQ(defaults.string(key).has_value(), value.index() == 0);
    EXPECT_EQ(defaults.integer(key).has_value(), value.index() == 1);
    EXPECT_EQ(defaults.boolValue(key).has_value(), value.index() == 2);
    EXPECT_EQ(defaults.doubleValue(key).has_value(), value.index() == 3);
    EXPECT_EQ(defaults.data(key).has_value(), value.index() == 4);
  }
  EXPECT_EQ(defaults.dictionaryRepresentation()->size(), std::size(values));
  ASSERT_TRUE(defaults.set("now text", "flag"));
  EXPECT_EQ(defaults.object("flag"), Value(std::string("now text")));
  ASSERT_TRUE(defaults.removeObject("flag"));
  EXPECT_EQ(defaults.object("flag"), std::nullopt);
  EXPECT_TRUE(defaults.removeObject("never stored"));
  EXPECT_NE(defaults.set(std::nan(""), "nan").error().localizedDescription().find("\"nan\""),
            std::string::npos);
  EXPECT_FALSE(defaults.set(std::numeric_limits<std::uint64_t>::max(), "huge"));
  EXPECT_EQ(defaults.object("huge"), std::nullopt);
}

struct Profile {
  std::string email;
  std::vector<int> limits;
  bool operator==(const Profile&) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Profile, email, limits)

template <typename T, typename V>
bool unarchivesAs(const V& value) {
  return UserDefaults::unarchive<T>(*UserDefaults::archive(value)).ok();
}

TEST_F(UserDefaultsTest, ArchivedValuesReadBackOnlyAsDataOfTheirType) {
  UserDefaults defaults(file_);
  const Profile profile{"me@example.com", {120, 100}};
  ASSERT_TRUE(defaults.setArchived(profile, "profile"));
  ASSERT_TRUE(defaults.set("plain text", "text"));
  EXPECT_EQ(defaults.archived<Profile>("profile"), profile);
  EXPECT_EQ(defaults.archived<std::string>("profile"), std::nullopt);
  EXPECT_EQ(defaults.archived<std::string>("text"), std::nullopt);  // not data
  // Values of another kind are refused instead of converted.
  EXPECT_TRUE((unarchivesAs<std::int64_t>(5) && unarchivesAs<double>(2)));
  EXPECT_FALSE((unarchivesAs<std::int64_t>(true) || unarchivesAs<std::int64_t>(1.5) ||
                unarchivesAs<std::uint64_t>(-1) || unarchivesAs<std::uint8_t>(300) ||
                unarchivesAs<bool>(1) || unarchivesAs<std::string>(2) ||
                unarchivesAs<Profile>(std::string("me"))));
  EXPECT_FALSE(UserDefaults::unarchive<int>(Data{0xff, 0x00, 'x'}));
  EXPECT_EQ(
      UserDefaults::archive(std::string("name\xff.png")).error().as<UserDefaultsError>()->code,
      UserDefaultsError::Code::archiving);
}

TEST_F(UserDefaultsTest, UnopenableDamagedOrForeignStoresGiveErrorsNamingThem) {
  fs::create_directories(folder_ / "folder");
  writeFile(folder_ / "plain", "x");
  EXPECT_EQ(code(UserDefaults(folder_ / "folder").set(1, "key")),
            UserDefaultsError::Code::cannotOpen);
  EXPECT_EQ(code(UserDefaults(folder_ / "plain/x.sqlite").set(1, "key")),
            UserDefaultsError::Code::cannotOpen);

  fs::create_directories(file_.parent_path());
  writeFile(file_, std::string(5000, 'x'));
  {
    UserDefaults defaults(file_);
    auto write = defaults.set(1, "key");
    EXPECT_EQ(code(write), UserDefaultsError::Code::notADatabase);
    EXPECT_NE(write.error().localizedDescription().find(file_.string()), std::string::npos);
    EXPECT_FALSE(defaults.fetch("key") || defaults.dictionaryRepresentation() ||
                 defaults.removeObject("key"));
    fs::remove(file_);  // once the file is replaced the same object works again
    for (int i = 0; i < 300; ++i)
      ASSERT_TRUE(defaults.set(std::string(200, 'v'), std::to_string(i)));
  }
  {
    // Overwrite everything after the first page (the schema stays readable).
    std::fstream f(file_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096);
    const std::string junk(static_cast<std::size_t>(fs::file_size(file_)) - 4096, '\xa5');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  EXPECT_FALSE(UserDefaults(file_).dictionaryRepresentation());

  const fs::path foreign = folder_ / "foreign.sqlite", newer = folder_ / "newer.sqlite";
  sql(foreign, "CREATE TABLE defaults (x)");
  sql(newer, "PRAGMA user_version = 99");
  auto r = UserDefaults(foreign).set(1, "key");
  EXPECT_NE(r.error().localizedDescription().find(foreign.string()), std::string::npos);
  EXPECT_NE(UserDefaults(newer).fetch("key").error().localizedDescription().find("newer version"),
            std::string::npos);
}

TEST_F(UserDefaultsTest, AKilledWriterLosesNoAcknowledgedWriteAndOtherProcessesSeeThem) {
  UserDefaults defaults(file_);  // open before the writers: it sees what they write
  for (const std::int64_t killAt : {50, 120}) {
    const std::string prefix = "kill" + std::to_string(killAt);
    const auto written =
        acks(kChild + " " + shellQuote(file_) + " " + prefix + " 0 " + std::to_string(killAt));
    ASSERT_FALSE(written.empty());
    const std::int64_t lastAck = written.back();
    ASSERT_GE(lastAck, killAt);
    EXPECT_EQ(sql(file_, "PRAGMA integrity_check"), "ok");
    for (std::int64_t i = 1; i <= lastAck; ++i) {
      ASSERT_EQ(defaults.integer(prefix + "." + std::to_string(i)), i);
    }
    // The write in flight at the kill is either wholly there or wholly absent.
    const auto last = defaults.integer(prefix + ".last");
    EXPECT_TRUE(last == lastAck || last == lastAck + 1) << *last << " after ack " << lastAck;
  }
}

TEST_F(UserDefaultsTest, ConcurrentProcessesAndThreadsLoseNoWrite) {
  constexpr int kProcesses = 3, kThreads = 4, kWrites = 100;
  UserDefaults shared(file_);
  ASSERT_TRUE(shared.set(0, "created"));  // the children race for writes only
  // Half the threads write through one shared object, half through their own.
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      UserDefaults own(file_);
      UserDefaults& defaults = t % 2 ? own : shared;
      for (int i = 1; i <= kWrites; ++i) {
        const std::string key = "thread" + std::to_string(t) + "." + std::to_string(i);
        failures += !defaults.set(i, key) || defaults.integer(key) != i;
      }
    });
  }
  std::string children;  // the processes write while the threads do
  for (int p = 0; p < kProcesses; ++p) {
    children += kChild + " " + shellQuote(file_) + " process" + std::to_string(p) + " " +
                std::to_string(kWrites) + " & ";
  }
  const auto written = acks(children + "wait");
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::count(written.begin(), written.end(), kWrites), kProcesses);
  EXPECT_EQ(failures.load(), 0);
  // Each writer's keys, each process's ".last", "shared" and "created".
  EXPECT_EQ(shared.dictionaryRepresentation()->size(),
            std::size_t{(kProcesses + kThreads) * kWrites + kProcesses + 2});
}

TEST(UserDefaultsStandard, IsTheNamedApplicationsStoreUnderXdgConfigHome) {
  // The only test that opens the standard store.
  const TempDir configHome;
  const ScopedEnv config("XDG_CONFIG_HOME", configHome.path().native());
  EXPECT_EQ(UserDefaults::applicationIdentifier(), "lumo");
  EXPECT_FALSE(UserDefaults::setApplicationIdentifier("bad/name"));
  EXPECT_FALSE(UserDefaults::setApplicationIdentifier(".."));
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
