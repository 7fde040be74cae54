#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
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

// A running user_defaults_child with its standard output on a pipe.
class Child {
 public:
  explicit Child(const std::vector<std::string>& args) {
    std::string command = "exec " + shellQuote(LUMO_USER_DEFAULTS_CHILD);
    for (const auto& arg : args) command += " " + shellQuote(arg);
    out_ = ::popen(command.c_str(), "r");
  }
  ~Child() {
    if (out_) wait();
  }

  // The next line without its newline; nullopt at the end of the output.
  std::optional<std::string> readLine() {
    char* line = nullptr;
    size_t capacity = 0;
    const ssize_t n = getline(&line, &capacity, out_);
    std::optional<std::string> result;
    if (n > 0) result = std::string(line, static_cast<size_t>(line[n - 1] == '\n' ? n - 1 : n));
    free(line);
    return result;
  }
  // The exit status, or -signal when it was killed.
  int wait() {
    const int status = ::pclose(out_);
    out_ = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }

 private:
  FILE* out_ = nullptr;
};

// The output lines of a child run to its end.
std::vector<std::string> runChild(const std::vector<std::string>& args) {
  Child child(args);
  std::vector<std::string> lines;
  while (auto line = child.readLine()) lines.push_back(*line);
  EXPECT_EQ(child.wait(), 0);
  return lines;
}

std::string integrityCheck(const fs::path& file) {
  sqlite3* db = nullptr;
  sqlite3_stmt* stmt = nullptr;
  std::string answer = "cannot open";
  if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    answer = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
  }
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  return answer;
}

void execSql(const fs::path& file, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

const UserDefaultsError* defaultsError(const Error& error) {
  return error.as<UserDefaultsError>();
}

class UserDefaultsTest : public ::testing::Test {
 protected:
  TempDir folder_;
  fs::path file_ = folder_ / "store" / "UserDefaults.sqlite";
};

TEST_F(UserDefaultsTest, StoresEachTypeKeepsTypesApartAndRefusesWhatCannotBeStored) {
  UserDefaults defaults(file_);
  const Data bytes{0x00, 0xff, 0x03, 0x00};
  ASSERT_TRUE(defaults.set("text with \"quotes\" and ünïcode", "string"));
  ASSERT_TRUE(defaults.set(std::numeric_limits<std::int64_t>::min(), "min"));
  ASSERT_TRUE(defaults.set(std::numeric_limits<std::int64_t>::max(), "max"));
  ASSERT_TRUE(defaults.set(true, "flag"));
  ASSERT_TRUE(defaults.set(0.5, "half"));
  ASSERT_TRUE(defaults.set(bytes, "bytes"));
  ASSERT_TRUE(defaults.set(Data(), "empty data"));
  ASSERT_TRUE(defaults.set(std::string(), "empty text"));
  ASSERT_TRUE(defaults.set(7, ""));

  EXPECT_EQ(defaults.string("string"), "text with \"quotes\" and ünïcode");
  EXPECT_EQ(defaults.integer("min"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(defaults.integer("max"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(defaults.boolValue("flag"), true);
  EXPECT_EQ(defaults.doubleValue("half"), 0.5);
  EXPECT_EQ(defaults.data("bytes"), bytes);
  EXPECT_EQ(defaults.data("empty data"), Data());
  EXPECT_EQ(defaults.string("empty text"), "");
  EXPECT_EQ(defaults.integer(""), 7);
  auto all = defaults.dictionaryRepresentation();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 9u);

  // A getter answers only for its own type: a boolean is not an integer, text is not data.
  EXPECT_EQ(defaults.integer("flag"), std::nullopt);
  EXPECT_EQ(defaults.boolValue("max"), std::nullopt);
  EXPECT_EQ(defaults.data("string"), std::nullopt);
  EXPECT_EQ(defaults.string("bytes"), std::nullopt);
  EXPECT_EQ(defaults.string("missing"), std::nullopt);
  EXPECT_EQ(defaults.object("flag"), Value(true));

  ASSERT_TRUE(defaults.set("now text", "flag"));
  EXPECT_EQ(defaults.object("flag"), Value(std::string("now text")));
  ASSERT_TRUE(defaults.removeObject("flag"));
  EXPECT_EQ(defaults.object("flag"), std::nullopt);
  EXPECT_TRUE(defaults.removeObject("never stored"));

  auto nan = defaults.set(std::nan(""), "nan");
  ASSERT_FALSE(nan);
  EXPECT_NE(nan.error().localizedDescription().find("\"nan\""), std::string::npos);
  EXPECT_FALSE(defaults.set(std::numeric_limits<std::uint64_t>::max(), "huge"));
  EXPECT_EQ(defaults.object("huge"), std::nullopt);
}

struct Profile {
  std::string email;
  std::int64_t quota = 0;
  std::vector<int> limits;
  bool operator==(const Profile&) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Profile, email, quota, limits)

TEST_F(UserDefaultsTest, ArchivedValuesReadBackOnlyAsDataOfTheirType) {
  const Profile profile{"me@example.com", 524288000, {120, 100}};
  ASSERT_TRUE(UserDefaults(file_).setArchived(profile, "profile"));
  UserDefaults defaults(file_);
  EXPECT_TRUE(defaults.data("profile").has_value());
  EXPECT_EQ(defaults.archived<Profile>("profile"), profile);
  EXPECT_EQ(defaults.archived<std::string>("profile"), std::nullopt);
  EXPECT_EQ(defaults.archived<Profile>("missing"), std::nullopt);
  ASSERT_TRUE(defaults.set("plain text", "text"));
  EXPECT_EQ(defaults.archived<std::string>("text"), std::nullopt);  // not data

  // Values of another kind are refused instead of converted.
  auto unarchiveAs = [](auto typeTag, const auto& value) {
    auto bytes = UserDefaults::archive(value);
    EXPECT_TRUE(bytes);
    return UserDefaults::unarchive<decltype(typeTag)>(*bytes).ok();
  };
  EXPECT_TRUE(unarchiveAs(std::int64_t{}, 5));
  EXPECT_FALSE(unarchiveAs(std::int64_t{}, true));
  EXPECT_FALSE(unarchiveAs(std::int64_t{}, 1.5));
  EXPECT_FALSE(unarchiveAs(std::uint64_t{}, -1));
  EXPECT_FALSE(unarchiveAs(std::uint8_t{}, 300));
  EXPECT_FALSE(unarchiveAs(bool{}, 1));
  EXPECT_TRUE(unarchiveAs(double{}, 2));
  EXPECT_FALSE(unarchiveAs(std::string{}, 2));
  EXPECT_FALSE(unarchiveAs(Profile{}, std::string("me")));

  auto notJson = UserDefaults::unarchive<int>(Data{0xff, 0x00, 'x'});
  ASSERT_FALSE(notJson);
  EXPECT_TRUE(defaultsError(notJson.error()));
  auto notUtf8 = UserDefaults::archive(std::string("name\xff.png"));
  ASSERT_FALSE(notUtf8);
  EXPECT_EQ(defaultsError(notUtf8.error())->code, UserDefaultsError::Code::archiving);
}

TEST_F(UserDefaultsTest, FileThatIsNotADatabaseGivesErrorsNamingIt) {
  fs::create_directories(file_.parent_path());
  std::ofstream(file_) << std::string(5000, 'x');
  UserDefaults defaults(file_);

  auto write = defaults.set(1, "key");
  ASSERT_FALSE(write);
  EXPECT_EQ(defaultsError(write.error())->code, UserDefaultsError::Code::notADatabase);
  EXPECT_NE(write.error().localizedDescription().find(file_.string()), std::string::npos);
  EXPECT_FALSE(defaults.fetch("key"));
  EXPECT_EQ(defaults.integer("key"), std::nullopt);
  EXPECT_FALSE(defaults.dictionaryRepresentation());
  EXPECT_FALSE(defaults.removeObject("key"));

  // Once the file is replaced the same object works again.
  fs::remove(file_);
  EXPECT_TRUE(defaults.set(1, "key"));
  EXPECT_EQ(defaults.integer("key"), 1);
}

TEST_F(UserDefaultsTest, UnopenableDamagedOrForeignStoresGiveErrors) {
  // A folder where the file should be, and a file where a folder should be.
  fs::create_directories(folder_ / "folder");
  writeFile(folder_ / "plain", "x");
  for (const fs::path& place : {folder_ / "folder", folder_ / "plain/UserDefaults.sqlite"}) {
    auto r = UserDefaults(place).set(1, "key");
    ASSERT_FALSE(r) << place;
    EXPECT_EQ(defaultsError(r.error())->code, UserDefaultsError::Code::cannotOpen);
  }

  {
    UserDefaults defaults(file_);
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(defaults.set(std::string(200, 'v'), "key" + std::to_string(i)));
    }
  }
  // Overwrite everything after the first page (the schema stays readable).
  {
    std::fstream f(file_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(4096);
    const std::string junk(static_cast<std::size_t>(fs::file_size(file_)) - 4096, '\xa5');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  UserDefaults damaged(file_);
  EXPECT_FALSE(damaged.dictionaryRepresentation());
  EXPECT_FALSE(damaged.fetch("key150"));

  const fs::path foreign = folder_ / "foreign.sqlite";
  execSql(foreign, "CREATE TABLE defaults (x); ");
  auto r = UserDefaults(foreign).set(1, "key");
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().localizedDescription().find(foreign.string()), std::string::npos);

  const fs::path newer = folder_ / "newer.sqlite";
  execSql(newer, "PRAGMA user_version = 99");
  auto fromNewer = UserDefaults(newer).fetch("key");
  ASSERT_FALSE(fromNewer);
  EXPECT_NE(fromNewer.error().localizedDescription().find("newer version"), std::string::npos);
}

TEST_F(UserDefaultsTest, ProcessesSeeEachOthersWrites) {
  UserDefaults defaults(file_);
  ASSERT_TRUE(defaults.set("from parent", "text"));
  ASSERT_TRUE(defaults.set(Data{0xde, 0xad}, "bytes"));
  ASSERT_TRUE(defaults.set(false, "flag"));
  ASSERT_TRUE(defaults.set(-12, "number"));
  const std::string file = file_.string();
  EXPECT_EQ(runChild({"--file", file, "get", "text", "bytes", "flag", "number", "missing"}),
            (std::vector<std::string>{"string from parent", "data dead", "boolean false",
                                      "integer -12", "absent"}));

  // The parent's open store sees what the child wrote.
  runChild({"--file", file, "set-string", "text", "from child"});
  runChild({"--file", file, "remove", "number"});
  EXPECT_EQ(defaults.string("text"), "from child");
  EXPECT_EQ(defaults.object("number"), std::nullopt);
}

TEST_F(UserDefaultsTest, KilledWriterLeavesEveryAcknowledgedValue) {
  for (int round = 0; round < 3; ++round) {
    const std::string prefix = "round" + std::to_string(round);
    const std::int64_t killAt = 50 + round * 70;
    std::int64_t lastAck = 0;
    {
      Child writer({"--file", file_.string(), "write-loop", prefix, "0"});
      const std::string first = writer.readLine().value_or("");
      ASSERT_EQ(first.rfind("pid ", 0), 0u) << first;
      const pid_t pid = std::stoi(first.substr(4));
      while (auto line = writer.readLine()) {
        ASSERT_EQ(line->rfind("ack ", 0), 0u) << *line;
        lastAck = std::stoll(line->substr(4));
        if (lastAck == killAt) kill(pid, SIGKILL);
      }
      EXPECT_EQ(writer.wait(), -SIGKILL);
    }
    ASSERT_GE(lastAck, killAt);
    EXPECT_EQ(integrityCheck(file_), "ok");
    UserDefaults reader(file_);
    for (std::int64_t i = 1; i <= lastAck; ++i) {
      ASSERT_EQ(reader.integer(prefix + "." + std::to_string(i)), i);
    }
    // The write in flight at the kill is either wholly there or wholly absent.
    const auto last = reader.integer(prefix + ".last");
    ASSERT_TRUE(last == lastAck || last == lastAck + 1) << *last << " after ack " << lastAck;
    EXPECT_TRUE(reader.set(1, "writable after the kill"));
  }
}

TEST_F(UserDefaultsTest, ConcurrentProcessesAndThreadsLoseNoWrite) {
  constexpr int kProcesses = 4;
  constexpr int kThreads = 6;
  constexpr int kWrites = 120;
  ASSERT_TRUE(UserDefaults(file_).set(0, "created"));  // the children race for writes only
  std::vector<std::unique_ptr<Child>> children;
  for (int p = 0; p < kProcesses; ++p) {
    children.push_back(std::make_unique<Child>(
        std::vector<std::string>{"--file", file_.string(), "write-loop",
                                 "process" + std::to_string(p), std::to_string(kWrites)}));
  }
  // Threads write at the same time: half through one shared object, half through their own.
  UserDefaults shared(file_);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::unique_ptr<UserDefaults> own;
      if (t % 2) own = std::make_unique<UserDefaults>(file_);
      UserDefaults& defaults = own ? *own : shared;
      for (int i = 1; i <= kWrites; ++i) {
        const std::string key = "thread" + std::to_string(t) + "." + std::to_string(i);
        if (!defaults.set(i, key)) ++failures;
        if (defaults.integer(key) != i) ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (auto& child : children) {
    std::string last;
    while (auto line = child->readLine()) last = *line;
    EXPECT_EQ(last, "ack " + std::to_string(kWrites));
    EXPECT_EQ(child->wait(), 0);
  }
  EXPECT_EQ(failures.load(), 0);

  auto all = shared.dictionaryRepresentation();
  ASSERT_TRUE(all);
  // Each writer's keys, its ".last" (processes), "shared" and "created".
  EXPECT_EQ(all->size(),
            static_cast<std::size_t>((kProcesses + kThreads) * kWrites + kProcesses + 2));
  for (int p = 0; p < kProcesses; ++p) {
    EXPECT_EQ(shared.integer("process" + std::to_string(p) + ".last"), kWrites);
  }
  EXPECT_EQ(shared.string("shared").value_or("").rfind("process", 0), 0u);
}

TEST(UserDefaultsStandard, IsTheNamedApplicationsStoreUnderXdgConfigHome) {
  // The only test that opens the standard store, here and in a child process.
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

  auto late = UserDefaults::setApplicationIdentifier("com.example.other");
  ASSERT_FALSE(late);
  EXPECT_EQ(defaultsError(late.error())->code, UserDefaultsError::Code::tooLate);
  EXPECT_EQ(UserDefaults::applicationIdentifier(), "com.example.capture");

  auto named = UserDefaults::named("com.example.capture");
  ASSERT_TRUE(named);
  EXPECT_EQ((*named)->string("access_token"), "token");
  EXPECT_FALSE(UserDefaults::named(""));

  // Another process of the same application finds it through its own standard().
  EXPECT_EQ(runChild({"--app", "com.example.capture", "get", "access_token"}),
            std::vector<std::string>{"string token"});
}

}  // namespace
}  // namespace lumo
