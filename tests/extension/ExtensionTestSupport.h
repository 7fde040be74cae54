#pragma once

// Real folders, environment, captured output and hosts' stand-ins for the share extension's
// tests.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "lumo/platform/ItemProvider.h"
#include "lumo/sharing/ShareView.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo::extension_testing {

namespace fs = std::filesystem;

// A fresh folder, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "lumo-extension-XXXXXX").native();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

// Sets (or, with nullopt, clears) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      ::setenv(name, value->c_str(), 1);
    } else {
      ::unsetenv(name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

inline void writeFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The names in `folder`, sorted; empty when it does not exist.
inline std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().native());
  }
  std::sort(names.begin(), names.end());
  return names;
}

inline std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// Standard output of the process while the object lives.
class CapturedStdout {
 public:
  CapturedStdout() { ::testing::internal::CaptureStdout(); }
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;
  ~CapturedStdout() {
    if (!taken_) ::testing::internal::GetCapturedStdout();
  }
  // Ends the capture and gives what was written.
  std::string take() {
    taken_ = true;
    return ::testing::internal::GetCapturedStdout();
  }

 private:
  bool taken_ = false;
};

// A view that writes down what it is told, where and when.
class RecordingView : public ShareView {
 public:
  void shareItemsDidLoad() override {
    std::lock_guard lock(mu_);
    events_.push_back(DispatchQueue::isMainThread() ? "didLoad on main" : "didLoad elsewhere");
    if (onDidLoad_) onDidLoad_();
  }
  void note(const std::string& event) {
    std::lock_guard lock(mu_);
    events_.push_back(event);
  }
  std::vector<std::string> events() const {
    std::lock_guard lock(mu_);
    return events_;
  }
  void setOnDidLoad(std::function<void()> f) {
    std::lock_guard lock(mu_);
    onDidLoad_ = std::move(f);
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> events_;  // guarded by mu_
  std::function<void()> onDidLoad_;  // guarded by mu_
};

// A provider of another application, as the desktop might hand it over: it conforms to the
// types it is given and answers every load with a fixed item or error, after `delay`, on the
// global queue. With `neverAnswers` it drops the completion without calling it.
class ScriptedItemProvider : public ItemProvider {
 public:
  ScriptedItemProvider(std::vector<std::string> types, Item item)
      : types_(std::move(types)), item_(std::move(item)) {}
  ScriptedItemProvider(std::vector<std::string> types, Error error)
      : types_(std::move(types)), error_(std::move(error)) {}

  std::chrono::milliseconds delay{0};
  bool neverAnswers = false;

  bool hasItemConformingToTypeIdentifier(std::string_view type) const override {
    return std::find(types_.begin(), types_.end(), type) != types_.end();
  }
  void loadItem(std::string_view type, std::function<void(Result<Item>)> completion) override {
    requested_.push_back(std::string(type));
    if (neverAnswers) return;
    DispatchQueue::global().async([this, completion = std::move(completion)] {
      std::this_thread::sleep_for(delay);
      if (error_) {
        completion(*error_);
      } else {
        completion(item_);
      }
    });
  }
  // The types asked for, in order; read once the intake is over.
  const std::vector<std::string>& requested() const { return requested_; }

 private:
  std::vector<std::string> types_;
  Item item_;
  std::optional<Error> error_;
  std::vector<std::string> requested_;
};

// Data holding `text`, as a URL provider hands it over.
inline ItemProvider::Item urlData(const std::string& text) {
  return ItemProvider::Item{ItemProvider::Data(text.begin(), text.end())};
}

}  // namespace lumo::extension_testing
