#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "lumo/Export.h"

namespace lumo {

// The one date formatter with which captures show their dates: medium date, short time,
// relative dates on (today's and yesterday's dates read "Today" and "Yesterday" in English),
// in the user's locale and time zone as ICU knows them when the formatter is first used.
//
//   SharedDateFormatter::shared().string(capture.date().value());  // "Yesterday, 3:04 PM"
//
// Created once, even when first asked for from several threads at the same time, and never
// changed or destroyed. Safe to use from any thread.
class LUMO_API SharedDateFormatter {
 public:
  using Date = std::chrono::system_clock::time_point;

  static const SharedDateFormatter& shared();

  // `date` as text, UTF-8. Empty if ICU cannot format it.
  std::string string(Date date) const;

 private:
  struct IcuFormatter;  // the ICU formatter, kept out of this header

  SharedDateFormatter();

  // ICU formatters keep a calendar that every format call changes.
  mutable std::mutex mu_;
  std::unique_ptr<IcuFormatter> formatter_;  // guarded by mu_; null if ICU failed
};

}  // namespace lumo
