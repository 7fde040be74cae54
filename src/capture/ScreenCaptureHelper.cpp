#include "lumo/capture/ScreenCaptureHelper.h"

#include <unicode/dtfmtsym.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <cctype>
#include <cstdio>
#include <ctime>

#include "lumo/capture/GIF.h"
#include "lumo/capture/OtherItem.h"
#include "lumo/capture/Screencast.h"
#include "lumo/capture/Screenshot.h"

namespace lumo {

struct ScreenCaptureHelper::IcuFormatter {
  std::unique_ptr<icu::SimpleDateFormat> format;
};

namespace {

std::string lowercased(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The same text as the ICU pattern, from the C library, should ICU be unable to make the
// formatter.
std::string fallbackDateText(std::chrono::system_clock::time_point date) {
  std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm local{};
  localtime_r(&seconds, &local);
  int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d at %d.%02d.%02d %s", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, hour, local.tm_min, local.tm_sec,
                local.tm_hour < 12 ? "AM" : "PM");
  return text;
}

}  // namespace

ScreenCaptureHelper::ScreenCaptureHelper() {
  UErrorCode status = U_ZERO_ERROR;
  // en_US_POSIX keeps the digits Western whatever the user's locale; the symbols are forced
  // because locales differ on how they write AM and PM ("am", "a.m.").
  auto formatter = std::make_unique<icu::SimpleDateFormat>(
      icu::UnicodeString::fromUTF8("yyyy-MM-dd 'at' h.mm.ss a"), icu::Locale("en_US_POSIX"),
      status);
  if (U_FAILURE(status)) return;
  formatter->adoptTimeZone(icu::TimeZone::createDefault());
  auto symbols = std::make_unique<icu::DateFormatSymbols>(*formatter->getDateFormatSymbols());
  const icu::UnicodeString amPm[2] = {icu::UnicodeString::fromUTF8("AM"),
                                      icu::UnicodeString::fromUTF8("PM")};
  symbols->setAmPmStrings(amPm, 2);
  formatter->adoptDateFormatSymbols(symbols.release());
  screenShotDateFormatter_ = std::make_unique<IcuFormatter>(IcuFormatter{std::move(formatter)});
}

ScreenCaptureHelper::~ScreenCaptureHelper() = default;

std::unique_ptr<ScreenCapture> ScreenCaptureHelper::screenCapture(const Url& forURL) {
  const std::string extension = lowercased(forURL.pathExtension());
  if (extension == "png" || extension == "jpeg" || extension == "jpg") {
    return std::make_unique<Screenshot>(forURL);
  }
  if (extension == "mp4" || extension == "mov") return std::make_unique<Screencast>(forURL);
  if (extension == "gif") return std::make_unique<GIF>(forURL);
  return std::make_unique<OtherItem>(forURL);
}

std::string ScreenCaptureHelper::createCaptureLocalName(const std::string& prefix,
                                                        const std::string& fileType) {
  return createCaptureLocalName(prefix, fileType, std::chrono::system_clock::now());
}

std::string ScreenCaptureHelper::createCaptureLocalName(const std::string& prefix,
                                                        const std::string& fileType, Date date) {
  std::string dateText;
  {
    std::lock_guard lock(mu_);
    if (screenShotDateFormatter_) {
      const double millis =
          std::chrono::duration<double, std::milli>(date.time_since_epoch()).count();
      icu::UnicodeString text;
      screenShotDateFormatter_->format->format(static_cast<UDate>(millis), text);
      text.toUTF8String(dateText);
    }
  }
  if (dateText.empty()) dateText = fallbackDateText(date);
  return prefix + " " + dateText + "." + fileType;
}

std::string ScreenCaptureHelper::createScreencastLocalName() {
  return createCaptureLocalName("Screen Cast", "mp4");
}

std::string ScreenCaptureHelper::createScreenshotLocalName(ImageFormat imageFormat) {
  return createCaptureLocalName("Screen Shot", std::string(fileType(imageFormat)));
}

Result<Url> ScreenCaptureHelper::screencastThumbnailURL(const Url& screencastURL) {
  return internalFileURL(screencastURL, "png");
}

Result<Url> ScreenCaptureHelper::screencastHTMLURL(const Url& screencastURL) {
  return internalFileURL(screencastURL, "html");
}

Result<Url> ScreenCaptureHelper::internalFileURL(const Url& screencastURL, const char* extension) {
  auto internal = _directoriesService->lumoInternalDirectory();
  if (!internal) return internal.error();
  return internal->appendingPathComponent(screencastURL.lastPathComponent())
      .deletingPathExtension()
      .appendingPathExtension(extension);
}

}  // namespace lumo
