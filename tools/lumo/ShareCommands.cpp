#include <filesystem>
#include <fstream>

#include "Commands.h"
#include "Files.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/registry/Resolver.h"
#include "lumo/storage/DirectoriesService.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

void emitState(Output& output, const std::string& name, ShareState state,
               std::optional<double> progress) {
  nlohmann::json json{{"file", name}, {"ok", true}, {"state", std::string(rawValue(state))}};
  std::string text = std::string(rawValue(state)) + "  " + name;
  if (progress) {
    json["progress"] = *progress;
    text += "  " + std::to_string(static_cast<int>(*progress * 100)) + "%";
  }
  output.emit(json, text);
}

// Every capture recorded in the states file, under the file's own ids: paths from the last
// "Documents" folder on, or whole paths for captures outside one.
int listStatesFile(Output& output) {
  auto internal = Resolver::resolveFromRoot<DirectoriesService>()->lumoInternalDirectory();
  if (!internal) return 1;
  std::ifstream in(internal->filePath() / ShareStatesManager::kStatesFileName);
  const auto json = in ? nlohmann::json::parse(in, nullptr, false) : nlohmann::json::array();
  if (!json.is_array()) {
    output.emit({{"ok", false}, {"error", "the states file is not valid"}},
                "failed: the states file is not valid");
    return 1;
  }
  for (const auto& entry : json) {
    if (!entry.is_object() || !entry.contains("id") || !entry.contains("state")) continue;
    if (!entry["id"].is_string() || !entry["state"].is_string()) continue;
    output.emit({{"id", entry["id"]}, {"ok", true}, {"state", entry["state"]}},
                entry["state"].get<std::string>() + "  id " + entry["id"].get<std::string>());
  }
  return 0;
}

}  // namespace

int status(Output& output, Host& host, const std::vector<std::string>& files) {
  auto states = host.states();  // loads the states file
  if (files.empty()) return listStatesFile(output);
  auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
  for (const auto& file : files) {
    const fs::path path = normalPath(file);
    auto capture = helper->screenCapture(Url::fileURL(path));
    std::optional<double> progress;
    if (auto p = states->getProgress(*capture)) progress = p->progress;
    emitState(output, path.string(), states->getState(*capture), progress);
  }
  return 0;
}

}  // namespace lumo::cli
