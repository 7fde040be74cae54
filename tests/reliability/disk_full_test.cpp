// The disk fills while the states file or the user-defaults store is saved. A file size limit
// (RLIMIT_FSIZE, SIGXFSZ ignored) stands for the full disk: a write past it fails with EFBIG as
// one past the last free block fails with ENOSPC. Needs no service.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <sstream>

#include "ShareTestHost.h"
#include "lumo/account/PropertyKeys.h"
#include "lumo/capture/Screenshot.h"

namespace lumo::sharetest {
namespace {

// The disk, full past `bytes` in any file, until the end of the scope.
class FullDisk {
 public:
  explicit FullDisk(rlim_t bytes) : signal_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    const rlimit full{bytes, saved_.rlim_max};
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
  }
  ~FullDisk() { ::setrlimit(RLIMIT_FSIZE, &saved_), std::signal(SIGXFSZ, signal_); }

 private:
  rlimit saved_{};
  void (*signal_)(int);
};

// A save on a full disk fails and is logged, the earlier file stays whole and readable, and the
// next save once there is room writes everything, what failed included.
TEST(DiskFullTest, AFailedSaveKeepsTheEarlierFileAndTheNextOneWritesAll) {
  Host host = installHost({}, std::nullopt);
  const fs::path docs = makeDocumentsFolder(), data = prepareProcess() / "data/lumo";
  const fs::path statesFile = data / ShareStatesManager::kStatesFileName;
  const fs::path defaults = UserDefaults::standard().file();
  const std::string key = rawValue(PropertyKeys::email), big(64 << 10, 'x');
  auto account = std::dynamic_pointer_cast<UserAccountStore>(
      Resolver::resolveFromRoot<UserAccountStoreService>());
  auto shot = [&](int i) { return Screenshot(Url::fileURL(docs / std::to_string(i))); };
  auto states = std::make_shared<ShareStatesManager>();  // left to its destructor below
  for (int i = 0; i < 100; ++i) states->screencaptureUploadComplete(shot(i));
  states->waitUntilSaved();
  account->setEmail("before@example.com");
  const Bytes before = readBytes(statesFile);
  {
    FullDisk full(before.size());
    for (int i = 100; i < 200; ++i) states->screencaptureUploadCancelled(shot(i));
    states->waitUntilSaved();
  }
  std::vector<Error> errors = host.log->errors();  // one per save tried meanwhile
  ASSERT_FALSE(errors.empty());
  EXPECT_TRUE(std::ranges::all_of(errors, [](const Error& e) {
    return e.is<FileError>() && e.as<FileError>()->code == EFBIG;
  }));
  {
    FullDisk full(std::max(fs::file_size(defaults), fs::file_size(defaults.string() + "-wal")));
    account->setEmail(big);  // larger than the room left in any of the store's files
  }
  ASSERT_EQ(host.log->errors().size(), errors.size() + 1);
  errors = {errors[0], host.log->errors().back()};
  const bool kept[] = {
      readBytes(statesFile) == before && std::distance(fs::directory_iterator(data), {}) == 1,
      UserDefaults(defaults).string(key) == "before@example.com"};
  states.reset();  // its last save failed: the store's end writes all
  account->setEmail(big);
  auto reloaded = std::make_shared<ShareStatesManager>();
  bool all = true;
  for (int i = 0; i < 200; ++i)
    all = all &&
          reloaded->getState(shot(i)) == (i < 100 ? ShareState::uploaded : ShareState::cancelled);
  const bool written[] = {all, UserDefaults(defaults).string(key) == big};
  std::ostringstream report;
  report << "| store | save on the full disk | earlier file | next save |\n|---|---|---|---|\n";
  for (std::size_t k = 0; k < 2; ++k) {
    std::string error = errors[k].localizedDescription();
    EXPECT_TRUE(kept[k] && written[k]) << error;
    error.replace(error.find(prepareProcess().string()), prepareProcess().string().size(), "…");
    report << "| " << (k ? "user defaults" : "states file")
           << " | failed, logged: " << errors[k].localizedDescription() << " | "
           << (kept[k] ? "intact" : "DAMAGED") << " | "
           << (written[k] ? "writes every value" : "INCOMPLETE") << " |\n";
  }
  if (const char* folder = std::getenv("LUMO_RELIABILITY_REPORT"))
    std::ofstream(fs::path(folder) / "disk-full.md") << report.str();
}

}  // namespace
}  // namespace lumo::sharetest
