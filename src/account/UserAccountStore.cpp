#include "lumo/account/UserAccountStore.h"

#include <mutex>
#include <utility>

#include "lumo/account/Content.h"
#include "lumo/account/PropertyKeys.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {

namespace {

// The 8-byte little-endian form of the counts, whatever the machine's byte order.
std::vector<std::uint8_t> littleEndianBytes(std::uint64_t value) {
  std::vector<std::uint8_t> bytes(8);
  for (std::size_t i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return bytes;
}

std::uint64_t fromLittleEndian(const std::vector<std::uint8_t>& bytes) {
  std::uint64_t value = 0;
  const std::size_t n = bytes.size() < 8 ? bytes.size() : 8;
  for (std::size_t i = 0; i < n; ++i) value |= std::uint64_t{bytes[i]} << (8 * i);
  return value;
}

}  // namespace

struct UserAccountStore::State {
  State(std::shared_ptr<LogService> log, UserDefaults& storage,
        std::optional<std::string> initialToken)
      : log(std::move(log)), storage(storage), token(std::move(initialToken)) {}

  // Every assignment of the token: memory first, then the defaults. `writeMu` keeps
  // assignments in order, so the defaults end with the value that memory ends with; `mu` is
  // held only for the copy, so readers never wait for the disk.
  void assign(std::optional<std::string> value) {
    std::lock_guard write(writeMu);
    {
      std::lock_guard lock(mu);
      token = value;
    }
    const std::string key = rawValue(PropertyKeys::access_token);
    Result<void> stored = value ? storage.set(*value, key) : storage.removeObject(key);
    // The log line carries only the store's error text, never the token.
    if (!stored) log->error(stored.error(), LogInfo{{"Account", std::string("save token")}});
  }

  std::optional<std::string> read() const {
    std::lock_guard lock(mu);
    return token;
  }

  const std::shared_ptr<LogService> log;
  UserDefaults& storage;
  std::mutex writeMu;
  mutable std::mutex mu;
  std::optional<std::string> token;  // guarded by mu
};

UserAccountStore::UserAccountStore() : storage_(UserDefaults::standard()) {
  state_ = std::make_shared<State>(_logService.wrappedValue(), storage_,
                                   storage_.string(rawValue(PropertyKeys::access_token)));
  std::weak_ptr<State> weak = state_;
  observer_ = NotificationCenter::defaultCenter().addObserver(
      NotificationName::APIReceiveUnauthStatusCode, DispatchQueue::main(),
      [weak](const Notification&) {
        if (auto state = weak.lock()) state->assign(std::nullopt);
      });
}

UserAccountStore::~UserAccountStore() {
  NotificationCenter::defaultCenter().removeObserver(observer_);
}

bool UserAccountStore::isLoggedIn() const {
  return state_->read().has_value();
}

std::optional<User> UserAccountStore::currentUser() const {
  std::optional<std::string> stored = email();
  if (!stored) return std::nullopt;
  return User{*stored, canUpload() ? UserType::paid : UserType::free};
}

bool UserAccountStore::canUpload() const {
  return storage_.boolValue(rawValue(PropertyKeys::canUpload)).value_or(false);
}

bool UserAccountStore::finishedTutorial() const {
  return storage_.boolValue(rawValue(PropertyKeys::finishedTutorial)).value_or(false);
}

void UserAccountStore::setFinishedTutorial(bool finished) {
  Result<void> r = storage_.set(finished, rawValue(PropertyKeys::finishedTutorial));
  if (!r) _logService->error(r.error(), LogInfo{{"Account", std::string("save tutorial flag")}});
}

std::int64_t UserAccountStore::remainingDailyItemsCount() const {
  std::optional<UserDefaults::Data> data = storage_.data(rawValue(PropertyKeys::items));
  if (!data) return Content::Limits::maxDailyFilesCount();
  return static_cast<std::int64_t>(fromLittleEndian(*data));
}

std::uint64_t UserAccountStore::remainingDailyQuotaInBytes() const {
  std::optional<UserDefaults::Data> data = storage_.data(rawValue(PropertyKeys::quota));
  if (!data) return Content::Limits::maxDailyFilesQuota();
  return fromLittleEndian(*data);
}

std::optional<std::string> UserAccountStore::authToken() const {
  return state_->read();
}

void UserAccountStore::setAuthToken(std::optional<std::string> token) {
  state_->assign(std::move(token));
}

void UserAccountStore::login(std::string token) {
  setAuthToken(std::move(token));
}

void UserAccountStore::logout() {
  setAuthToken(std::nullopt);
  setEmail(std::nullopt);
}

std::optional<std::string> UserAccountStore::email() const {
  return storage_.string(rawValue(PropertyKeys::email));
}

void UserAccountStore::setEmail(std::optional<std::string> email) {
  const std::string key = rawValue(PropertyKeys::email);
  Result<void> r = email ? storage_.set(*email, key) : storage_.removeObject(key);
  if (!r) _logService->error(r.error(), LogInfo{{"Account", std::string("save e-mail")}});
}

void UserAccountStore::setCanUpload(bool canUpload) {
  Result<void> r = storage_.set(canUpload, rawValue(PropertyKeys::canUpload));
  if (!r) _logService->error(r.error(), LogInfo{{"Account", std::string("save upload right")}});
}

void UserAccountStore::setRemainingDailyItemsCount(std::int64_t count) {
  Result<void> r = storage_.set(littleEndianBytes(static_cast<std::uint64_t>(count)),
                                rawValue(PropertyKeys::items));
  if (!r) _logService->error(r.error(), LogInfo{{"Account", std::string("save items")}});
}

void UserAccountStore::setRemainingDailyQuotaInBytes(std::uint64_t bytes) {
  Result<void> r = storage_.set(littleEndianBytes(bytes), rawValue(PropertyKeys::quota));
  if (!r) _logService->error(r.error(), LogInfo{{"Account", std::string("save quota")}});
}

}  // namespace lumo
