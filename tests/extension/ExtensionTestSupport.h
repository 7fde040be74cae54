#pragma once

// Real folders, and stand-ins for another application's item providers.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lumo/platform/ItemProvider.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::extension_testing {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using ProviderList = std::vector<std::shared_ptr<ItemProvider>>;

// A fresh folder, removed with everything in it at the end of the test.
struct TempDir {
  std::string path = (fs::temp_directory_path() / "lumo-extension-XXXXXX").native();
  TempDir() { EXPECT_TRUE(::mkdtemp(path.data())); }
  ~TempDir() { fs::remove_all(path); }
  fs::path operator/(const std::string& name) const { return fs::path(path) / name; }
};

inline void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The names in `folder`, sorted; empty when it does not exist.
inline Lines namesIn(const fs::path& folder) {
  Lines names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().native());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Another application's provider: it conforms to `types` and answers every load with `answer`
// on the global queue, or keeps the completion for the test (`holds`), or drops it (`drops`).
// `overlaps` counts the loads asked for while another was unanswered.
class Provider : public ItemProvider {
 public:
  enum Mode { answers, holds, drops };
  Provider(Lines types, Result<Item> answer, Mode mode = answers)
      : types_(std::move(types)), answer_(std::move(answer)), mode_(mode) {}

  bool hasItemConformingToTypeIdentifier(std::string_view type) const override {
    return std::find(types_.begin(), types_.end(), type) != types_.end();
  }
  void loadItem(std::string_view type, std::function<void(Result<Item>)> completion) override {
    requested.push_back(std::string(type));  // read once the intake is over
    if (mode_ == drops) return;
    if (inFlight++ != 0) ++overlaps;
    auto done = [completion](const Result<Item>& item) { --inFlight, completion(item); };
    if (mode_ == answers) return DispatchQueue::global().async([=, a = answer_] { done(a); });
    held_ = done;
    isHeld = true;
  }
  // The completion kept, once `isHeld`.
  void answer(const Result<Item>& item) { held_(item); }

  Lines requested;
  std::atomic<bool> isHeld{false};
  static inline std::atomic<int> inFlight{0}, overlaps{0};

 private:
  Lines types_;
  Result<Item> answer_;
  Mode mode_ = answers;
  std::function<void(Result<Item>)> held_;
};

// Data holding `text`, as a URL provider hands it over.
inline ItemProvider::Item urlData(const std::string& text) {
  return ItemProvider::Item{ItemProvider::Data(text.begin(), text.end())};
}

}  // namespace lumo::extension_testing
