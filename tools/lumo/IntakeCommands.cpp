#include <atomic>
#include <filesystem>
#include <set>

#include "Commands.h"
#include "lumo/extension/ShareViewModel.h"
#include "lumo/platform/LinuxExtensionContext.h"
#include "lumo/storage/FileStorage.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {
namespace fs = std::filesystem;

int importFiles(Output& output, const std::vector<std::string>& files) {
  std::vector<fs::path> paths;
  for (const auto& file : files) {
    std::error_code ec;
    paths.push_back(fs::absolute(file, ec));
  }
  auto model = std::make_shared<ShareViewModel>();
  std::set<std::string> before;
  for (const auto& url : model->fileStorage().sharedStorageFilesURLs()) {
    before.insert(url.absoluteString());
  }
  auto context = LinuxExtensionContext::withFilePaths(paths);
  std::atomic<bool> loaded{false};
  model->handleBeginRequest(context, [&loaded] { loaded = true; });
  MainQueue::runUntil([&] { return loaded.load() || context->ending().has_value(); },
                      std::chrono::minutes(10));
  if (!context->ending()) model->handleSharePressed(context);
  const auto ending = context->ending();
  bool failed = !ending || ending->cancelled ||
                model->shareItemsCount() < static_cast<std::int64_t>(files.size());
  for (const auto& url : model->fileStorage().sharedStorageFilesURLs()) {
    if (before.count(url.absoluteString())) continue;
    const std::string path = url.filePath().string();
    output.emit({{"ok", true}, {"imported", path}}, "imported  " + path);
  }
  if (failed) {
    std::string why = "some files could not be taken in";
    if (ending && ending->error) why = ending->error->localizedDescription();
    output.emit({{"ok", false}, {"error", why}}, "failed: " + why);
  }
  return failed ? 1 : 0;
}

int inbox(Output& output) {
  FileStorage storage;
  for (const auto& url : storage.sharedStorageFilesURLs()) {
    const std::string path = url.filePath().string();
    std::error_code ec;
    const auto size = fs::file_size(url.filePath(), ec);
    output.emit({{"file", path}, {"size", ec ? 0 : size}}, path);
  }
  return 0;
}

}  // namespace lumo::cli
