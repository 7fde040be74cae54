#include "lumo/platform/LinuxExtensionContext.h"

#include <utility>

#include "lumo/platform/LinuxExtensionItem.h"
#include "lumo/platform/LinuxItemProvider.h"

namespace lumo {

std::shared_ptr<LinuxExtensionContext> LinuxExtensionContext::withFilePaths(
    const std::vector<std::filesystem::path>& paths, const MimeTypes& mimeTypes) {
  std::vector<std::shared_ptr<ItemProvider>> providers;
  providers.reserve(paths.size());
  for (const auto& path : paths)
    providers.push_back(LinuxItemProvider::forFilePath(path, mimeTypes));
  return std::make_shared<LinuxExtensionContext>(std::vector<std::shared_ptr<ExtensionItem>>{
      std::make_shared<LinuxExtensionItem>(std::move(providers))});
}

std::shared_ptr<LinuxExtensionContext> LinuxExtensionContext::withURIList(
    std::string_view uriList, const MimeTypes& mimeTypes) {
  std::vector<std::shared_ptr<ItemProvider>> providers;
  while (!uriList.empty()) {
    const std::size_t end = uriList.find('\n');
    std::string_view line = uriList.substr(0, end);
    uriList.remove_prefix(end == std::string_view::npos ? uriList.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.starts_with('#')) continue;
    if (line.find_first_not_of(" \t") == std::string_view::npos) continue;
    providers.push_back(LinuxItemProvider::forURI(line, mimeTypes));
  }
  return std::make_shared<LinuxExtensionContext>(std::vector<std::shared_ptr<ExtensionItem>>{
      std::make_shared<LinuxExtensionItem>(std::move(providers))});
}

LinuxExtensionContext::LinuxExtensionContext(std::vector<std::shared_ptr<ExtensionItem>> inputItems)
    : inputItems_(std::move(inputItems)) {}

void LinuxExtensionContext::completeRequest(std::vector<std::shared_ptr<ExtensionItem>> items,
                                            std::function<void(bool expired)> completionHandler) {
  end(Ending{false, std::nullopt, items.size()}, completionHandler);
}

void LinuxExtensionContext::cancelRequest(const Error& error) {
  end(Ending{true, error, 0}, nullptr);
}

void LinuxExtensionContext::end(const Ending& ending,
                                const std::function<void(bool)>& completionHandler) {
  std::function<void(const Ending&)> handler;
  {
    std::lock_guard lock(mu_);
    ++endingsCount_;
    if (ending_) return;
    ending_ = ending;
    handler = endingHandler_;
  }
  if (completionHandler) completionHandler(false);
  if (handler) handler(ending);
}

std::optional<LinuxExtensionContext::Ending> LinuxExtensionContext::ending() const {
  std::lock_guard lock(mu_);
  return ending_;
}

int LinuxExtensionContext::endingsCount() const {
  std::lock_guard lock(mu_);
  return endingsCount_;
}

void LinuxExtensionContext::setEndingHandler(std::function<void(const Ending&)> handler) {
  std::lock_guard lock(mu_);
  endingHandler_ = std::move(handler);
}

}  // namespace lumo
