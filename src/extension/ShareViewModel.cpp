#include "lumo/extension/ShareViewModel.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <string_view>
#include <utility>

#include "FileNames.h"
#include "StandardOutput.h"
#include "lumo/extension/ShareDataType.h"
#include "lumo/extension/ShareExtensionError.h"
#include "lumo/extension/ShareItemURL.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/support/Fatal.h"

namespace lumo {
namespace fs = std::filesystem;
using extension_detail::isUsableFileName;
using extension_detail::localPath;
using extension_detail::printLine;

namespace {

constexpr std::string_view kLogPrefix = "Share extension: ";

// Room left in a shared-storage name for what the unique-name generator appends: "_" and the
// seconds since 2001 (at most 17 significant digits, a point, a sign).
constexpr std::size_t kUniqueSuffixRoom = 32;
// The longest extension kept in a shared-storage name; longer ones are no real file types.
constexpr std::size_t kMaxExtension = 64;

void log(std::string_view message) {
  printLine(std::string(kLogPrefix) + std::string(message));
}

// The end of one load: reached when its completion has run.
class LoadWait {
 public:
  void finish() {
    {
      std::lock_guard lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [this] { return done_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;  // guarded by mu_
};

// Shared by the copies of the completion handed to a provider. A provider that drops its
// completion without calling it must not stall the intake for good: the wait also ends when
// the last copy goes away. A second call of the completion is ignored.
struct LoadCompletionState {
  explicit LoadCompletionState(std::shared_ptr<LoadWait> wait) : wait(std::move(wait)) {}
  ~LoadCompletionState() { wait->finish(); }
  LoadCompletionState(const LoadCompletionState&) = delete;
  LoadCompletionState& operator=(const LoadCompletionState&) = delete;

  std::shared_ptr<LoadWait> wait;
  std::atomic<bool> called{false};
};

}  // namespace

ShareViewModel::ShareViewModel() = default;

ShareViewModel::ShareViewModel(std::weak_ptr<ShareView> view) : view_(std::move(view)) {}

std::shared_ptr<ShareView> ShareViewModel::view() const {
  std::lock_guard lock(mu_);
  return view_.lock();
}

void ShareViewModel::setView(std::weak_ptr<ShareView> view) {
  std::lock_guard lock(mu_);
  view_ = std::move(view);
}

std::vector<std::shared_ptr<const ShareItem>> ShareViewModel::shareItems() const {
  std::lock_guard lock(mu_);
  return shareItems_;
}

std::int64_t ShareViewModel::shareItemsCount() const {
  std::lock_guard lock(mu_);
  return static_cast<std::int64_t>(shareItems_.size());
}

std::shared_ptr<const ShareItem> ShareViewModel::shareItem(const IndexPath& indexPath) const {
  std::lock_guard lock(mu_);
  if (indexPath.item < 0 || indexPath.item >= static_cast<std::int64_t>(shareItems_.size())) {
    stopProcess("ShareViewModel::shareItem: index " + std::to_string(indexPath.item) +
                " is out of range (" + std::to_string(shareItems_.size()) + " items)");
  }
  return shareItems_[static_cast<std::size_t>(indexPath.item)];
}

void ShareViewModel::handleBeginRequest(const std::shared_ptr<ExtensionContext>& context,
                                        std::function<void()> completion) {
  if (!context) return;
  const auto inputItems = context->inputItems();
  if (inputItems.empty() || !inputItems.front()) {
    log("Input items are not found");
    context->completeRequest({}, nullptr);
    return;
  }
  auto providers = inputItems.front()->attachments();
  if (providers.empty()) {
    log("Item providers are not found");
    context->completeRequest({}, nullptr);
    return;
  }

  std::weak_ptr<ShareViewModel> weakSelf = weak_from_this();
  if (weakSelf.expired()) {
    stopProcess("ShareViewModel must be held by a std::shared_ptr to begin a request");
  }
  DispatchQueue::global().async([weakSelf = std::move(weakSelf), providers = std::move(providers),
                                 completion = std::move(completion)]() mutable {
    processAttachments(weakSelf, providers, std::move(completion));
  });
}

void ShareViewModel::processAttachments(const std::weak_ptr<ShareViewModel>& weakSelf,
                                        const std::vector<std::shared_ptr<ItemProvider>>& providers,
                                        std::function<void()> completion) {
  for (const auto& provider : providers) {
    if (!provider) continue;
    const auto types = ShareDataType::supportedDataTypes();
    const bool supported = std::any_of(types.begin(), types.end(), [&](ShareDataType type) {
      return provider->hasItemConformingToTypeIdentifier(type.cfString());
    });
    if (!supported) continue;

    // Whichever kind matched, the item is asked for as a URL: the file is what is taken in.
    auto wait = std::make_shared<LoadWait>();
    auto state = std::make_shared<LoadCompletionState>(wait);
    provider->loadItem(kUTTypeURL, [weakSelf, state](const Result<ItemProvider::Item>& item) {
      if (state->called.exchange(true)) return;
      if (auto self = weakSelf.lock()) self->handleLoadedItem(item);
      state->wait->finish();
    });
    state.reset();
    wait->wait();
  }

  DispatchQueue::main().async([weakSelf, completion = std::move(completion)] {
    if (auto self = weakSelf.lock()) {
      if (auto view = self->view()) view->shareItemsDidLoad();
    }
    if (completion) completion();
  });
}

void ShareViewModel::handleLoadedItem(const Result<ItemProvider::Item>& item) {
  if (!item) {
    printLine(item.error().localizedDescription());
    return;
  }
  const auto* data = std::any_cast<ItemProvider::Data>(&item->value);
  if (!data) {
    printLine("Can't cast item to Data");
    return;
  }
  const std::string_view text(reinterpret_cast<const char*>(data->data()), data->size());
  // A NUL byte would cut the text short on its way through the URL parser.
  const auto url =
      text.find('\0') == std::string_view::npos ? Url::parse(text) : std::optional<Url>();
  if (!url) {
    printLine("Can't cast item's data to URL");
    return;
  }
  auto copy = copyIntoCachesDirectory(*url);
  if (!copy) {
    log(copy.error().localizedDescription());
    return;
  }
  std::lock_guard lock(mu_);
  shareItems_.push_back(std::make_shared<const ShareItemURL>(std::move(*copy)));
}

Result<Url> ShareViewModel::cachesDirectory() const {
  auto caches = fileManager_.url(SearchPathDirectory::caches, /*create=*/false);
  if (!caches) return caches.error();
  // It may not exist yet on a fresh account; it is ours to create.
  const Url folder = caches->appendingPathComponent(std::string(kCachesFolderName), true);
  if (auto made = fileManager_.createDirectory(folder.filePath(), true); !made) {
    return made.error();
  }
  return folder;
}

Result<Url> ShareViewModel::copyIntoCachesDirectory(const Url& url) const {
  auto caches = cachesDirectory();
  if (!caches) return ShareExtensionError::cantGetLocalCachesDirectoryURLs;

  auto source = localPath(url);
  if (!source) return source.error();
  const std::string action = "Cannot copy " + quotedPath(*source);
  const std::string name = url.lastPathComponent();
  if (!isUsableFileName(name)) {
    return Error(FileError{EINVAL, *source,
                           action + ": " + quotedPath(name) + " cannot be used as a file name"});
  }

  struct stat sourceStat {};
  if (::stat(source->c_str(), &sourceStat) != 0) return Error(fileError(errno, *source, action));
  if (S_ISDIR(sourceStat.st_mode)) return Error(fileError(EISDIR, *source, action));
  if (!S_ISREG(sourceStat.st_mode)) {
    return Error(FileError{ENOTSUP, *source, action + ": it is not a regular file"});
  }
  // A symbolic link is shared for what it points to; a copied link could dangle or point
  // anywhere.
  std::error_code ec;
  const fs::path real = fs::canonical(*source, ec);
  if (ec) return Error(fileError(ec.value(), *source, action));

  const Url destination = caches->appendingPathComponent(name);
  const fs::path target = destination.filePath();
  struct stat targetStat {};
  if (::lstat(target.c_str(), &targetStat) == 0) {
    // The shared file may itself live in the caches folder: removing it would lose it.
    if (S_ISREG(targetStat.st_mode) && targetStat.st_dev == sourceStat.st_dev &&
        targetStat.st_ino == sourceStat.st_ino) {
      return destination;
    }
    // The folder is the extension's own: a file of the name is an earlier copy and is
    // replaced. A folder was never made by the intake: it stays, and the copy fails on it.
    if (!S_ISDIR(targetStat.st_mode)) (void)fileManager_.removeItem(target);
  }
  if (auto copied = fileManager_.copyItem(real, target); !copied) return copied.error();
  return destination;
}

Result<std::string> ShareViewModel::sharedStorageName(const Url& url) {
  using extension_detail::sanitizedFileNamePart;

  // Make the parts safe before the generator joins them: the name it makes cannot fail, and it
  // must stay one file name within the limit.
  const std::string extension = url.pathExtension();
  const std::string base = url.deletingPathExtension().lastPathComponent();
  const std::string safeExtension = truncatedUTF8(sanitizedFileNamePart(extension), kMaxExtension);
  const std::size_t room =
      kFileNameMax - kUniqueSuffixRoom - (safeExtension.empty() ? 0 : safeExtension.size() + 1);
  const std::string safeBase = truncatedUTF8(sanitizedFileNamePart(base), room);

  Url named = url;
  if (safeBase != base || safeExtension != extension) {
    named = url.deletingLastPathComponent().appendingPathComponent(
        safeExtension.empty() ? safeBase : safeBase + "." + safeExtension);
  }
  std::string name = uniqueNamesGenerator_.uniqueLastPathComponentName(named);
  if (!isUsableFileName(name)) {
    return Error(FileError{EINVAL, {}, quotedPath(name) + " cannot be used as a file name"});
  }
  return name;
}

void ShareViewModel::handleSharePressed(const std::shared_ptr<ExtensionContext>& context) {
  if (!context) return;
  const auto items = shareItems();
  if (items.empty()) {
    context->cancelRequest(ShareExtensionError::urlToShareIsAbsent);
    return;
  }
  const auto library = fileStorage_.sharedStorageLibrary();
  if (!library) {
    context->cancelRequest(ShareExtensionError::cantGetSharedStorage);
    return;
  }
  // The group container exists; its caches folder may not yet on a fresh system. A failure
  // shows in the copies.
  (void)fileManager_.createDirectory(library->filePath(), /*withIntermediateDirectories=*/true);

  for (const auto& item : items) {
    const auto* urlItem = dynamic_cast<const ShareItemURL*>(item.get());
    if (!urlItem) continue;

    auto copied = [&]() -> Result<void> {
      auto name = sharedStorageName(urlItem->url);
      if (!name) return name.error();
      const Url destination = library->appendingPathComponent(*name);
      printLine("Try to copy to " + destination.absoluteString());
      auto source = localPath(urlItem->url);
      if (!source) return source.error();
      return fileManager_.copyItem(*source, destination.filePath());
    }();
    if (!copied) {
      printLine("Error = " + copied.error().localizedDescription());
      // The request has ended: nothing more is copied, and it is not completed as well.
      context->cancelRequest(copied.error());
      return;
    }
  }
  context->completeRequest({}, nullptr);
}

}  // namespace lumo
