#include <algorithm>
#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>

#include "Commands.h"
#include "Files.h"
#include "lumo/extension/ShareViewModel.h"
#include "lumo/platform/LinuxExtensionContext.h"
#include "lumo/storage/FileStorage.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

void failed(Output& output, const std::string& file, const std::string& why) {
  output.emit({{"file", file}, {"ok", false}, {"error", why}}, "failed  " + file + ": " + why);
  std::cerr << "error: " << file << ": " << why << "\n";
}

}  // namespace

int importFiles(Output& output, const std::vector<std::string>& files) {
  // Files that cannot be read are named here, with the reason; the intake only says that
  // something went wrong.
  std::vector<fs::path> paths;
  bool anyFailed = false;
  for (const auto& file : files) {
    const fs::path path = normalPath(file);
    if (auto why = whyUnreadable(path)) {
      failed(output, path.string(), *why);
      anyFailed = true;
    } else {
      paths.push_back(path);
    }
  }
  if (paths.empty()) return 1;
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
  std::vector<fs::path> stored;
  for (const auto& url : model->fileStorage().sharedStorageFilesURLs()) {
    if (!before.count(url.absoluteString())) stored.push_back(url.filePath());
  }
  std::string why = "not taken in";
  if (ending && ending->error) why += ": " + ending->error->localizedDescription();
  if (ending && ending->cancelled) why += " (cancelled)";
  // The shared storage keeps each file's name, with a number added when it is taken: the same
  // name is tried first, so that "a.png" never takes the copy of "ab.png", then the name with
  // a number; a name made safe first matches neither, and takes a copy left over, in order.
  std::map<fs::path, fs::path> copies;
  auto claim = [&](const auto& matches) {
    for (const auto& path : paths) {
      if (copies.count(path)) continue;
      auto copy = std::find_if(stored.begin(), stored.end(),
                               [&](const fs::path& candidate) { return matches(path, candidate); });
      if (copy == stored.end()) continue;
      copies[path] = *copy;
      stored.erase(copy);
    }
  };
  claim([](const fs::path& path, const fs::path& copy) {
    return copy.filename() == path.filename();
  });
  claim([](const fs::path& path, const fs::path& copy) {
    return copy.filename().string().starts_with(path.stem().string());
  });
  std::vector<fs::path> unmatched;
  for (const auto& path : paths) {
    if (!copies.count(path)) unmatched.push_back(path);
  }
  for (std::size_t i = 0; i < unmatched.size() && i < stored.size(); ++i) {
    copies[unmatched[i]] = stored[i];
  }
  for (const auto& path : paths) {
    auto copy = copies.find(path);
    if (copy == copies.end()) {
      failed(output, path.string(), why);
      anyFailed = true;
      continue;
    }
    output.emit({{"file", path.string()}, {"ok", true}, {"stored", copy->second.string()}},
                "imported  " + path.string() + "  " + copy->second.string());
  }
  return anyFailed ? 1 : 0;
}

int inbox(Output& output) {
  FileStorage storage;
  for (const auto& url : storage.sharedStorageFilesURLs()) {
    const std::string path = url.filePath().string();
    std::error_code ec;
    const auto size = fs::file_size(url.filePath(), ec);
    output.emit({{"file", path}, {"ok", true}, {"size", ec ? 0 : size}}, path);
  }
  return 0;
}

}  // namespace lumo::cli
