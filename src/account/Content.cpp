#include "lumo/account/Content.h"

#include <atomic>
#include <mutex>

namespace lumo::Content {
namespace {

// Atomics, not plain values: the profile updater writes them on the network queue while the
// share service reads them on its own threads.
struct Values {
  std::atomic<std::int64_t> maxLenghtInSeconds{Limits::kDefaultMaxLenghtInSeconds};
  std::atomic<std::uint64_t> maxContentSize{Limits::kDefaultMaxContentSize};
  std::atomic<std::int64_t> maxDailyFilesCount{Limits::kDefaultMaxDailyFilesCount};
  std::atomic<std::uint64_t> maxDailyFilesQuota{Limits::kDefaultMaxDailyFilesQuota};
  std::mutex monthlyMu;
  std::optional<std::uint64_t> maxMonthlyFilesQuota;  // guarded by monthlyMu
};

// Created on first use and never destroyed.
Values& values() {
  static auto* v = new Values();
  return *v;
}

}  // namespace

std::int64_t Limits::maxLenghtInSeconds() {
  return values().maxLenghtInSeconds.load();
}
void Limits::setMaxLenghtInSeconds(std::int64_t value) {
  values().maxLenghtInSeconds = value;
}

std::uint64_t Limits::maxContentSize() {
  return values().maxContentSize.load();
}
void Limits::setMaxContentSize(std::uint64_t value) {
  values().maxContentSize = value;
}

std::int64_t Limits::maxDailyFilesCount() {
  return values().maxDailyFilesCount.load();
}
void Limits::setMaxDailyFilesCount(std::int64_t value) {
  values().maxDailyFilesCount = value;
}

std::uint64_t Limits::maxDailyFilesQuota() {
  return values().maxDailyFilesQuota.load();
}
void Limits::setMaxDailyFilesQuota(std::uint64_t value) {
  values().maxDailyFilesQuota = value;
}

std::optional<std::uint64_t> Limits::maxMonthlyFilesQuota() {
  Values& v = values();
  std::lock_guard lock(v.monthlyMu);
  return v.maxMonthlyFilesQuota;
}

void Limits::setMaxMonthlyFilesQuota(std::optional<std::uint64_t> value) {
  Values& v = values();
  std::lock_guard lock(v.monthlyMu);
  v.maxMonthlyFilesQuota = value;
}

void Limits::resetToDefaults() {
  setMaxLenghtInSeconds(kDefaultMaxLenghtInSeconds);
  setMaxContentSize(kDefaultMaxContentSize);
  setMaxDailyFilesCount(kDefaultMaxDailyFilesCount);
  setMaxDailyFilesQuota(kDefaultMaxDailyFilesQuota);
  setMaxMonthlyFilesQuota(std::nullopt);
}

}  // namespace lumo::Content
