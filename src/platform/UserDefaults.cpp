#include "lumo/platform/UserDefaults.h"

#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

namespace lumo {

namespace {

using Code = UserDefaultsError::Code;

constexpr const char* kFileName = "UserDefaults.sqlite";
constexpr const char* kDefaultApplicationIdentifier = "lumo";
// Long enough to ride out another process's burst of writes (each one an fsync), short enough
// that a stuck process is reported instead of hanging the caller.
constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;

// The value column takes any SQLite type; the tag says which of our types it holds, and the
// CHECK keeps tag and stored type in step so a reader never has to guess.
constexpr const char* kCreateTable = R"sql(
CREATE TABLE IF NOT EXISTS defaults (
  key TEXT PRIMARY KEY NOT NULL,
  type TEXT NOT NULL,
  value ANY NOT NULL,
  CHECK ((type = 'string' AND typeof(value) = 'text') OR
         (type = 'integer' AND typeof(value) = 'integer') OR
         (type = 'boolean' AND typeof(value) = 'integer' AND value IN (0, 1)) OR
         (type = 'real' AND typeof(value) = 'real') OR
         (type = 'data' AND typeof(value) = 'blob'))
) STRICT
)sql";

struct DatabaseClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StatementFinalize {
  void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Database = std::unique_ptr<sqlite3, DatabaseClose>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalize>;

// One use of a cached statement. Resetting at the end releases the statement's read snapshot
// (which would otherwise keep other processes' checkpoints waiting) and the bound pointers,
// which point into the caller's strings.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StatementUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};

struct AppIdentity {
  std::mutex mu;
  std::string identifier = kDefaultApplicationIdentifier;  // guarded by mu
  bool fixed = false;  // set when standard() opened its store; guarded by mu
};

AppIdentity& appIdentity() {
  static auto* identity = new AppIdentity();  // never destroyed
  return *identity;
}

bool isFolderName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

Error invalidName(std::string_view what, std::string_view name) {
  return UserDefaultsError{Code::invalidName, std::string("The ") + std::string(what) + " \"" +
                                                  std::string(name) +
                                                  "\" cannot name a folder for user defaults."};
}

// `$XDG_CONFIG_HOME`, or `~/.config` when it is unset or relative (as the XDG rules say).
Result<std::filesystem::path> configHome() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    return std::filesystem::path(xdg);
  }
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    return std::filesystem::path(home) / ".config";
  }
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && found->pw_dir[0] == '/') {
    return std::filesystem::path(found->pw_dir) / ".config";
  }
  return UserDefaultsError{Code::cannotOpen,
                           "No folder for user defaults: neither XDG_CONFIG_HOME nor HOME is set."};
}

Code codeFor(int rc) {
  switch (rc & 0xff) {
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
    case SQLITE_FORMAT:
      return Code::notADatabase;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return Code::busy;
    case SQLITE_CANTOPEN:
    case SQLITE_PERM:
    case SQLITE_READONLY:
    case SQLITE_AUTH:
      return Code::cannotOpen;
    default:
      return Code::storageFailed;
  }
}

Error storeError(const std::filesystem::path& file, sqlite3* db, int rc, std::string_view action) {
  std::string detail = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  return UserDefaultsError{codeFor(rc), "The user defaults in \"" + file.string() +
                                            "\" could not be " + std::string(action) + ": " +
                                            detail + "."};
}

const char* tagOf(const UserDefaults::Value& value) {
  switch (value.index()) {
    case 0:
      return "string";
    case 1:
      return "integer";
    case 2:
      return "boolean";
    case 3:
      return "real";
    default:
      return "data";
  }
}

int bindValue(sqlite3_stmt* stmt, int index, const UserDefaults::Value& value) {
  return std::visit(
      [&](const auto& v) -> int {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::same_as<T, std::string>) {
          // SQLITE_STATIC: the caller's value outlives the statement's use. A null pointer
          // would bind NULL, so an empty text gets a real one.
          return sqlite3_bind_text64(stmt, index, v.empty() ? "" : v.data(), v.size(),
                                     SQLITE_STATIC, SQLITE_UTF8);
        } else if constexpr (std::same_as<T, std::int64_t>) {
          return sqlite3_bind_int64(stmt, index, v);
        } else if constexpr (std::same_as<T, bool>) {
          return sqlite3_bind_int64(stmt, index, v ? 1 : 0);
        } else if constexpr (std::same_as<T, double>) {
          return sqlite3_bind_double(stmt, index, v);
        } else {
          // An empty blob bound from a null pointer would be NULL, not zero bytes.
          if (v.empty()) return sqlite3_bind_zeroblob(stmt, index, 0);
          return sqlite3_bind_blob64(stmt, index, v.data(), v.size(), SQLITE_STATIC);
        }
      },
      value);
}

// Built in place: g++ 12 warns falsely about copies of a variant into an optional.
template <typename T, typename... Args>
std::optional<UserDefaults::Value> stored(Args&&... args) {
  return std::optional<UserDefaults::Value>(std::in_place, std::in_place_type<T>,
                                            std::forward<Args>(args)...);
}

std::optional<UserDefaults::Value> readValue(sqlite3_stmt* stmt, int typeColumn, int valueColumn) {
  const auto* tagText = sqlite3_column_text(stmt, typeColumn);
  if (!tagText) return std::nullopt;
  const std::string_view tag(reinterpret_cast<const char*>(tagText),
                             static_cast<std::size_t>(sqlite3_column_bytes(stmt, typeColumn)));
  const int type = sqlite3_column_type(stmt, valueColumn);
  if (tag == "string" && type == SQLITE_TEXT) {
    const auto* text = sqlite3_column_text(stmt, valueColumn);
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, valueColumn));
    return stored<std::string>(reinterpret_cast<const char*>(text), size);
  }
  if (tag == "integer" && type == SQLITE_INTEGER) {
    return stored<std::int64_t>(sqlite3_column_int64(stmt, valueColumn));
  }
  if (tag == "boolean" && type == SQLITE_INTEGER) {
    return stored<bool>(sqlite3_column_int64(stmt, valueColumn) != 0);
  }
  if (tag == "real" && type == SQLITE_FLOAT) {
    return stored<double>(sqlite3_column_double(stmt, valueColumn));
  }
  if (tag == "data" && type == SQLITE_BLOB) {
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt, valueColumn));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, valueColumn));
    if (!bytes || size == 0) return stored<UserDefaults::Data>();
    return stored<UserDefaults::Data>(bytes, bytes + size);
  }
  return std::nullopt;
}

Error damagedValue(const std::filesystem::path& file, std::string_view key) {
  return UserDefaultsError{Code::notADatabase, "The user defaults in \"" + file.string() +
                                                   "\" hold a damaged value for the key \"" +
                                                   std::string(key) + "\"."};
}

}  // namespace

struct UserDefaults::Connection {
  Database db;  // declared first: the statements are finalized before it closes
  Statement select;
  Statement upsert;
  Statement remove;
  Statement all;
};

namespace {

// Runs one statement that returns no rows we need, retrying while another process holds a
// lock that the busy handler does not wait for (changing the journal mode).
int execute(sqlite3* db, const char* sql) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
  for (;;) {
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if ((rc & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) return rc;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

Result<void> createSchema(sqlite3* db, const std::filesystem::path& file) {
  // Reading the version and creating the table must be one step against a second process
  // doing the same, so the transaction takes the write lock up front.
  int rc = execute(db, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return storeError(file, db, rc, "opened");
  auto fail = [&](int code) -> Result<void> {
    Error error = storeError(file, db, code, "opened");
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return error;
  };
  sqlite3_stmt* raw = nullptr;
  rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr);
  if (rc != SQLITE_OK) return fail(rc);
  Statement versionQuery(raw);
  rc = sqlite3_step(versionQuery.get());
  if (rc != SQLITE_ROW) return fail(rc);
  const int version = sqlite3_column_int(versionQuery.get(), 0);
  versionQuery.reset();
  if (version > kSchemaVersion) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return UserDefaultsError{Code::notADatabase,
                             "The user defaults in \"" + file.string() +
                                 "\" were written by a newer version of the application."};
  }
  rc = sqlite3_exec(db, kCreateTable, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return fail(rc);
  // A table of that name from some other program: leave the file as it was.
  rc = sqlite3_exec(db, "SELECT key, type, value FROM defaults WHERE 0", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return fail(rc);
  if (version < kSchemaVersion) {
    const std::string setVersion = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
    rc = sqlite3_exec(db, setVersion.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) return fail(rc);
  }
  rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return fail(rc);
  return {};
}

}  // namespace

// ---- Application identity and named stores ----

Result<void> UserDefaults::setApplicationIdentifier(std::string identifier) {
  if (!isFolderName(identifier)) return invalidName("application identifier", identifier);
  auto& identity = appIdentity();
  std::lock_guard lock(identity.mu);
  if (identity.fixed && identity.identifier != identifier) {
    return UserDefaultsError{Code::tooLate,
                             "The application identifier must be set before the standard user "
                             "defaults are first used; they already use \"" +
                                 identity.identifier + "\"."};
  }
  identity.identifier = std::move(identifier);
  return {};
}

std::string UserDefaults::applicationIdentifier() {
  auto& identity = appIdentity();
  std::lock_guard lock(identity.mu);
  return identity.identifier;
}

UserDefaults& UserDefaults::standard() {
  static UserDefaults* store = [] {  // never destroyed: used until the process exits
    std::string identifier;
    {
      auto& identity = appIdentity();
      std::lock_guard lock(identity.mu);
      identity.fixed = true;
      identifier = identity.identifier;
    }
    auto home = configHome();
    if (!home) return new UserDefaults(std::filesystem::path(), home.error());
    return new UserDefaults(*home / identifier / kFileName, std::nullopt);
  }();
  return *store;
}

Result<std::unique_ptr<UserDefaults>> UserDefaults::named(std::string_view suiteName) {
  if (!isFolderName(suiteName)) return invalidName("suite name", suiteName);
  auto home = configHome();
  if (!home) return home.error();
  return std::unique_ptr<UserDefaults>(
      new UserDefaults(*home / std::string(suiteName) / kFileName, std::nullopt));
}

UserDefaults::UserDefaults(std::filesystem::path file)
    : UserDefaults(std::move(file), std::nullopt) {}

UserDefaults::UserDefaults(std::filesystem::path file, std::optional<Error> pathError)
    : file_(std::move(file)), pathError_(std::move(pathError)) {}

UserDefaults::~UserDefaults() = default;

// ---- Opening ----

Result<UserDefaults::Connection*> UserDefaults::connection() const {
  if (connection_) return connection_.get();
  if (pathError_) return *pathError_;

  const auto folder = file_.parent_path();
  if (!folder.empty()) {
    std::error_code ec;
    if (!std::filesystem::exists(folder, ec)) {
      std::filesystem::create_directories(folder, ec);
      // The store holds the user's API token: keep a folder we create to ourselves.
      if (!ec) std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ec);
      if (ec) {
        return UserDefaultsError{Code::cannotOpen, "The folder \"" + folder.string() +
                                                       "\" for user defaults could not be "
                                                       "created: " +
                                                       ec.message() + "."};
      }
    }
  }

  auto c = std::make_unique<Connection>();
  sqlite3* raw = nullptr;
  int rc =
      sqlite3_open_v2(file_.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  c->db.reset(raw);  // a failed open still hands back a handle that must be closed
  if (rc != SQLITE_OK) return storeError(file_, c->db.get(), rc, "opened");
  sqlite3* db = c->db.get();
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);

  // WAL lets readers and one writer of several processes work at once, and a crash never
  // leaves a half-written change behind. With synchronous=FULL every commit is flushed to disk
  // before the write returns, so an acknowledged value survives a power cut too, not only a
  // crash of the process (which NORMAL would already cover); settings are written rarely
  // enough that the flush costs nothing that matters.
  rc = execute(db, "PRAGMA journal_mode = WAL");
  if (rc != SQLITE_OK) return storeError(file_, db, rc, "opened");
  rc = execute(db, "PRAGMA synchronous = FULL");
  if (rc != SQLITE_OK) return storeError(file_, db, rc, "opened");
  if (auto schema = createSchema(db, file_); !schema) return schema.error();

  struct Prepared {
    Statement* target;
    const char* sql;
  };
  const Prepared statements[] = {
      {&c->select, "SELECT type, value FROM defaults WHERE key = ?1"},
      {&c->upsert,
       "INSERT INTO defaults (key, type, value) VALUES (?1, ?2, ?3) "
       "ON CONFLICT (key) DO UPDATE SET type = excluded.type, value = excluded.value"},
      {&c->remove, "DELETE FROM defaults WHERE key = ?1"},
      {&c->all, "SELECT key, type, value FROM defaults ORDER BY key"},
  };
  for (const auto& p : statements) {
    sqlite3_stmt* stmt = nullptr;
    rc = sqlite3_prepare_v3(db, p.sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (rc != SQLITE_OK) {
      sqlite3_finalize(stmt);
      return storeError(file_, db, rc, "opened");
    }
    p.target->reset(stmt);
  }
  connection_ = std::move(c);
  return connection_.get();
}

// ---- Reading and writing ----

Result<std::optional<UserDefaults::Value>> UserDefaults::fetch(std::string_view key) const {
  std::lock_guard lock(mu_);
  auto c = connection();
  if (!c) return c.error();
  std::optional<Value> value;
  std::optional<Error> error;
  int rc = SQLITE_OK;
  {
    StatementUse use((*c)->select.get());
    sqlite3_bind_text64(use.get(), 1, key.empty() ? "" : key.data(), key.size(), SQLITE_STATIC,
                        SQLITE_UTF8);
    rc = sqlite3_step(use.get());
    if (rc == SQLITE_ROW) {
      value = readValue(use.get(), 0, 1);
      if (!value) error = damagedValue(file_, key);
    } else if (rc != SQLITE_DONE) {
      error = storeError(file_, (*c)->db.get(), rc, "read");
    }
  }
  if (!error) return value;
  dropIfDamaged(rc);
  return *error;
}

std::optional<UserDefaults::Value> UserDefaults::object(std::string_view key) const {
  auto result = fetch(key);
  if (!result) return std::nullopt;
  return std::move(*result);
}

Result<std::map<std::string, UserDefaults::Value>> UserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(mu_);
  auto c = connection();
  if (!c) return c.error();
  std::map<std::string, Value> values;
  StatementUse use((*c)->all.get());
  for (;;) {
    const int rc = sqlite3_step(use.get());
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return storeError(file_, (*c)->db.get(), rc, "read");
    const auto* keyText = sqlite3_column_text(use.get(), 0);
    std::string key(keyText ? reinterpret_cast<const char*>(keyText) : "",
                    static_cast<std::size_t>(sqlite3_column_bytes(use.get(), 0)));
    auto value = readValue(use.get(), 1, 2);
    if (!value) return damagedValue(file_, key);
    values.emplace(std::move(key), std::move(*value));
  }
  return values;
}

Result<void> UserDefaults::set(const Value& value, std::string_view key) {
  if (const double* d = std::get_if<double>(&value); d && std::isnan(*d)) {
    // SQLite keeps NaN as NULL, which would read back as a missing value.
    return UserDefaultsError{Code::storageFailed, "The value for the key \"" + std::string(key) +
                                                      "\" is not a number and cannot be stored."};
  }
  std::lock_guard lock(mu_);
  auto c = connection();
  if (!c) return c.error();
  int rc = SQLITE_OK;
  std::optional<Error> error;
  {
    // One statement, so one atomic transaction that waits for other writers.
    StatementUse use((*c)->upsert.get());
    sqlite3_bind_text64(use.get(), 1, key.empty() ? "" : key.data(), key.size(), SQLITE_STATIC,
                        SQLITE_UTF8);
    sqlite3_bind_text(use.get(), 2, tagOf(value), -1, SQLITE_STATIC);
    rc = bindValue(use.get(), 3, value);
    if (rc == SQLITE_OK) rc = sqlite3_step(use.get());
    if (rc != SQLITE_DONE) error = storeError(file_, (*c)->db.get(), rc, "written");
  }
  if (!error) return {};
  dropIfDamaged(rc);
  return *error;
}

Result<void> UserDefaults::removeObject(std::string_view key) {
  std::lock_guard lock(mu_);
  auto c = connection();
  if (!c) return c.error();
  int rc = SQLITE_OK;
  std::optional<Error> error;
  {
    StatementUse use((*c)->remove.get());
    sqlite3_bind_text64(use.get(), 1, key.empty() ? "" : key.data(), key.size(), SQLITE_STATIC,
                        SQLITE_UTF8);
    rc = sqlite3_step(use.get());
    if (rc != SQLITE_DONE) error = storeError(file_, (*c)->db.get(), rc, "written");
  }
  if (!error) return {};
  dropIfDamaged(rc);
  return *error;
}

void UserDefaults::dropIfDamaged(int sqliteResult) const {
  // A file found damaged may be replaced or repaired; the next call opens it afresh.
  if (codeFor(sqliteResult) == Code::notADatabase) connection_.reset();
}

}  // namespace lumo
