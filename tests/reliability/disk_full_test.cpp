// The disk fills while the states file or the user-defaults store is saved. A file size limit
// (RLIMIT_FSIZE, SIGXFSZ ignored) stands for the full disk: a write past it fails with EFBIG as
// one past the last free block fails with ENOSPC. Needs no service.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <functional>

#include "ShareTestHost.h"
#include "lumo/account/PropertyKeys.h"
#include "lumo/capture/Screenshot.h"

namespace lumo::sharetest {
namespace {

// Runs `save` with the disk full past `bytes` in any file.
void onFullDisk(rlim_t bytes, const std::function<void()>& save) {
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit full{bytes, saved.rlim_max};
  auto* const action = std::signal(SIGXFSZ, SIG_IGN);
  if (::setrlimit(RLIMIT_FSIZE, &full) == 0) save(), ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, action);
}

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
  onFullDisk(before.size(), [&] {
    for (int i = 100; i < 200; ++i) states->screencaptureUploadCancelled(shot(i));
    states->waitUntilSaved();
  });
  const auto statesErrors = host.log->errors();  // one per save tried meanwhile
  EXPECT_TRUE(!statesErrors.empty() && std::ranges::all_of(statesErrors, [](const Error& e) {
    return e.is<FileError>() && e.as<FileError>()->code == EFBIG;
  }));
  // Larger than the room left in any of the store's files.
  onFullDisk(std::max(fs::file_size(defaults), fs::file_size(defaults.string() + "-wal")),
             [&] { account->setEmail(big); });
  EXPECT_EQ(host.log->errors().size(), statesErrors.size() + 1);
  EXPECT_TRUE(readBytes(statesFile) == before);
  EXPECT_EQ(std::distance(fs::directory_iterator(data), {}), 1);  // no temporary file left
  EXPECT_EQ(UserDefaults(defaults).string(key), "before@example.com");
  states.reset();  // its last save failed: the store's end writes all
  account->setEmail(big);
  auto reloaded = std::make_shared<ShareStatesManager>();
  for (int i = 0; i < 200; ++i)
    EXPECT_EQ(reloaded->getState(shot(i)), i < 100 ? ShareState::uploaded : ShareState::cancelled);
  EXPECT_EQ(UserDefaults(defaults).string(key), big);
}

}  // namespace
}  // namespace lumo::sharetest
