#include "lumo/capture/SharedDateFormatter.h"

#include <unicode/datefmt.h>
#include <unicode/udisplaycontext.h>
#include <unicode/unistr.h>

namespace lumo {

struct SharedDateFormatter::IcuFormatter {
  std::unique_ptr<icu::DateFormat> format;
};

const SharedDateFormatter& SharedDateFormatter::shared() {
  static const SharedDateFormatter* formatter = new SharedDateFormatter();
  return *formatter;
}

SharedDateFormatter::SharedDateFormatter() {
  std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
      icu::DateFormat::kMediumRelative, icu::DateFormat::kShort, icu::Locale::getDefault()));
  if (!format) return;
  // Relative words start the text, so they are capitalised as at the start of a sentence.
  UErrorCode status = U_ZERO_ERROR;
  format->setContext(UDISPCTX_CAPITALIZATION_FOR_BEGINNING_OF_SENTENCE, status);
  formatter_ = std::make_unique<IcuFormatter>(IcuFormatter{std::move(format)});
}

std::string SharedDateFormatter::string(Date date) const {
  const double millis = std::chrono::duration<double, std::milli>(date.time_since_epoch()).count();
  icu::UnicodeString text;
  {
    std::lock_guard lock(mu_);
    if (!formatter_) return {};
    formatter_->format->format(static_cast<UDate>(millis), text);
  }
  std::string result;
  text.toUTF8String(result);
  return result;
}

}  // namespace lumo
