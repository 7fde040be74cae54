#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/ExtensionContext.h"
#include "lumo/platform/MimeTypes.h"

namespace lumo {

// The share request of the Linux share extension, built from what the desktop hands over: a
// list of file paths (the arguments of a "send to" action) or a `text/uri-list` (a drag and
// drop, the clipboard).
//
//   auto context = LinuxExtensionContext::withURIList(droppedText);
//   model->handleBeginRequest(context, [&] { showItems(); });
//   ...
//   model->handleSharePressed(context);
//   if (auto ending = context->ending(); ending && ending->cancelled) return 1;
//
// The host learns how the request ended from `ending()` or from the ending handler. The first
// ending counts; later ones are ignored but counted. Safe from any thread.
class LUMO_API LinuxExtensionContext : public ExtensionContext {
 public:
  // How a request ended.
  struct Ending {
    bool cancelled = false;
    std::optional<Error> error;     // the reason of a cancellation
    std::size_t returnedItems = 0;  // the items handed back by a completion
  };

  // A request with one input item holding one `LinuxItemProvider` per path, in order.
  static std::shared_ptr<LinuxExtensionContext> withFilePaths(
      const std::vector<std::filesystem::path>& paths,
      const MimeTypes& mimeTypes = MimeTypes::system());

  // A request with one input item holding one `LinuxItemProvider` per URI of `uriList`, in
  // order. Lines end in CRLF or LF; empty lines and comment lines (starting with "#") are
  // left out.
  static std::shared_ptr<LinuxExtensionContext> withURIList(
      std::string_view uriList, const MimeTypes& mimeTypes = MimeTypes::system());

  // A request with exactly these input items.
  explicit LinuxExtensionContext(std::vector<std::shared_ptr<ExtensionItem>> inputItems);

  std::vector<std::shared_ptr<ExtensionItem>> inputItems() const override { return inputItems_; }
  // Records the ending and runs `completionHandler` (with `expired` false) and the ending
  // handler on the calling thread, unless the request had already ended.
  void completeRequest(std::vector<std::shared_ptr<ExtensionItem>> items,
                       std::function<void(bool expired)> completionHandler) override;
  // Records the ending and runs the ending handler on the calling thread, unless the request
  // had already ended.
  void cancelRequest(const Error& error) override;

  // The first ending; nullopt while the request runs.
  std::optional<Ending> ending() const;
  // How many times the request was asked to end. More than one is a fault of the extension.
  int endingsCount() const;
  // Called once, with the first ending.
  void setEndingHandler(std::function<void(const Ending&)> handler);

 private:
  void end(const Ending& ending, const std::function<void(bool)>& completionHandler);

  const std::vector<std::shared_ptr<ExtensionItem>> inputItems_;

  mutable std::mutex mu_;
  std::optional<Ending> ending_;                      // guarded by mu_
  int endingsCount_ = 0;                              // guarded by mu_
  std::function<void(const Ending&)> endingHandler_;  // guarded by mu_
};

}  // namespace lumo
