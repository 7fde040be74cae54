#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "lumo/Export.h"
#include "lumo/capture/UniqueNamesGenerator.h"
#include "lumo/extension/IndexPath.h"
#include "lumo/extension/ShareItem.h"
#include "lumo/platform/ExtensionContext.h"
#include "lumo/platform/FileManager.h"
#include "lumo/platform/ItemProvider.h"
#include "lumo/platform/Url.h"
#include "lumo/sharing/ShareView.h"
#include "lumo/storage/FileStorage.h"

namespace lumo {

// The share extension's model. When a share request begins it takes the images, movies and
// files of the request's first input item into the extension's caches folder (its own
// "ShareExtension" folder in the application's caches folder,
// `$XDG_CACHE_HOME/<application id>/ShareExtension`) and lists them for the view; when the
// user confirms, it copies them into the application group's shared storage, where the capture
// application picks them up. Nothing outside the extension's own folder is replaced.
//
//   auto model = std::make_shared<ShareViewModel>(view);
//   model->handleBeginRequest(context, [&] { /* the view has been told */ });
//   ...                                       // the main queue runs; the user confirms
//   model->handleSharePressed(context);      // copies, then ends the request
//
// Diagnostics go to standard output, one line each: "Share extension: " and a message for the
// request's own problems, bare lines for the loads and the copies. Control characters that a
// file name brings along are written escaped ("\n"), so that every message stays one line.
//
// Names that come with the shared items are never trusted to stay in their folder: an item
// whose name is empty, "." or "..", holds "/" or a NUL byte or is longer than 255 bytes is
// refused with an error, as is an item that is a folder or no regular file. In shared storage
// the name is made safe instead: bytes that are not UTF-8 and control characters become "_",
// and a long name is shortened to leave room for the unique suffix.
//
// Hold the model in a `std::shared_ptr`: the intake keeps it only weakly, and drops what is
// left to do once the model is gone.
class LUMO_API ShareViewModel : public std::enable_shared_from_this<ShareViewModel> {
 public:
  // The name of the extension's folder in the application's caches folder.
  static constexpr std::string_view kCachesFolderName = "ShareExtension";

  // A model without a view; set one with `setView`.
  ShareViewModel();
  // A model that tells `view` (held weakly) when the intake is done.
  explicit ShareViewModel(std::weak_ptr<ShareView> view);
  virtual ~ShareViewModel() = default;

  ShareViewModel(const ShareViewModel&) = delete;
  ShareViewModel& operator=(const ShareViewModel&) = delete;

  // The view, while it exists.
  std::shared_ptr<ShareView> view() const;
  void setView(std::weak_ptr<ShareView> view);

  FileManager& fileManager() const { return fileManager_; }
  // The application group's storage (the default group; tests and hosts may set another).
  FileStorage& fileStorage() { return fileStorage_; }
  const FileStorage& fileStorage() const { return fileStorage_; }
  UniqueNamesGenerator& uniqueNamesGenerator() { return uniqueNamesGenerator_; }

  // The items taken in so far, in the order of their attachments.
  std::vector<std::shared_ptr<const ShareItem>> shareItems() const;

  // Starts the intake of `context` and returns at once; does nothing without a context.
  //
  // Without input items, or when the first is of an unknown kind, it writes "Share extension:
  // Input items are not found"; when the first has no attachments, "Share extension: Item
  // providers are not found". Either way it completes the request with no items and stops.
  //
  // Otherwise, on a background thread and strictly one at a time, every attachment of the
  // first input item that is an image, a movie or a file URL is loaded as a URL and the file is
  // copied into the caches folder, replacing an earlier copy of the same name; the copy becomes
  // a `ShareItemURL`. Other attachments are skipped silently. A failed load writes its error;
  // an item that cannot be taken in writes "Share extension: " and the error. Then, on the main
  // queue, the view is told (`shareItemsDidLoad()`) and `completion`, if any, runs.
  void handleBeginRequest(const std::shared_ptr<ExtensionContext>& context,
                          std::function<void()> completion = {});

  // The number of items taken in.
  std::int64_t shareItemsCount() const;
  // The item at `indexPath.item`. A position outside 0 ..< shareItemsCount() is a programming
  // error and stops the process.
  std::shared_ptr<const ShareItem> shareItem(const IndexPath& indexPath) const;

  // Copies every `ShareItemURL` into the shared storage's caches folder under a unique name
  // (writing "Try to copy to " and the destination URL before each copy), then completes the
  // request with no items. Runs on the calling thread; does nothing without a context.
  //
  // Cancels the request instead with `ShareExtensionError::urlToShareIsAbsent` when there are
  // no items, with `cantGetSharedStorage` without shared storage, and with the copy's error
  // (after writing "Error = " and the error) when a copy fails. The request ends exactly once:
  // after a failed copy nothing more is copied.
  void handleSharePressed(const std::shared_ptr<ExtensionContext>& context);

 private:
  // Loads the attachments in turn; runs on the global queue.
  static void processAttachments(const std::weak_ptr<ShareViewModel>& weakSelf,
                                 const std::vector<std::shared_ptr<ItemProvider>>& providers,
                                 std::function<void()> completion);
  // Handles the outcome of one load.
  void handleLoadedItem(const Result<ItemProvider::Item>& item);
  // The extension's own caches folder, created when missing.
  Result<Url> cachesDirectory() const;
  // Copies the file at `url` into the caches folder; the copy's URL.
  Result<Url> copyIntoCachesDirectory(const Url& url) const;
  // The name under which `url` goes into shared storage.
  Result<std::string> sharedStorageName(const Url& url);

  mutable std::mutex mu_;
  std::weak_ptr<ShareView> view_;  // guarded by mu_
  FileManager& fileManager_ = FileManager::defaultManager();
  FileStorage fileStorage_;
  std::vector<std::shared_ptr<const ShareItem>> shareItems_;  // guarded by mu_
  UniqueNamesGenerator uniqueNamesGenerator_;
};

}  // namespace lumo
