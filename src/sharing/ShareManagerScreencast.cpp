// The screencast procedure of the share service: a screencast is shared as three files, the
// video, its thumbnail and the page that shows both. The thumbnail is made and written next to
// the video, the page is written from the share links, and one task uploads the three.

#include <fcntl.h>
#include <unicode/smpdtfmt.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <span>
#include <utility>

#include "lumo/capture/ScreenCaptureUrl.h"
#include "lumo/platform/FileDescriptor.h"
#include "lumo/platform/FileManager.h"
#include "lumo/platform/UTF8.h"
#include "lumo/sharing/ShareManager.h"
#include "lumo/sharing/ShareServiceError.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/UploadScreencastTask.h"

namespace lumo {
namespace {

// Writes `bytes` as the whole content of the file at `url`, creating or truncating it.
Result<void> writeFile(const Url& url, std::span<const std::uint8_t> bytes) {
  const std::filesystem::path path = url.filePath();
  const std::string action = "Cannot write " + quotedPath(path);
  if (path.empty()) return fileError(EINVAL, url.absoluteString(), action);
  FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return fileError(errno, path, action);
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fileError(errno, path, action);
    }
    written += static_cast<std::size_t>(n);
  }
  if (!fd.close()) return fileError(errno, path, action);
  return {};
}

}  // namespace

void ShareManager::share(const Screencast& screencast) {
  const auto thumbnails = _thumbnailService.wrappedValue();
  if (!thumbnails) return;
  std::weak_ptr<ShareManager> weakSelf = weak_from_this();
  // An init-capture: a plain copy of the const reference would be const and never move.
  thumbnails->thumbnail(screencast, [weakSelf, capture = screencast](
                                        const std::optional<PlatformImage>& image) mutable {
    auto self = weakSelf.lock();
    if (!self) return;
    self->handleThumbnail(std::move(capture), image);
  });
}

void ShareManager::handleThumbnail(Screencast screencast,
                                   const std::optional<PlatformImage>& image) {
  auto failThumbnail = [&] {
    const Error error = ShareServiceError::screencastThumbnailError;
    _logService->error(error);
    reportUploadError(screencast, error);
  };
  std::optional<std::vector<std::uint8_t>> png;
  if (image) png = image->pngRepresentation();
  if (!png || png->empty()) {
    failThumbnail();
    return;
  }
  auto thumbnailURL = _screencaptureHelper->screencastThumbnailURL(screencast.fileURL());
  if (!thumbnailURL) {
    _logService->error(thumbnailURL.error());
    reportUploadError(screencast, thumbnailURL.error());
    return;
  }
  screencast.setThumbnailFileURL(*thumbnailURL);
  if (auto written = writeFile(*thumbnailURL, *png); !written) {
    _logService->error(written.error());
    failThumbnail();
    return;
  }
  // The video's digest names the page, the thumbnail and the video, and reading it takes as
  // long as the file is big. It is read here, on a worker whatever thread the host's thumbnail
  // came on; the links made on the main queue then find it in the digest cache.
  std::weak_ptr<ShareManager> weakSelf = weak_from_this();
  DispatchQueue::global().async(
      [weakSelf, screencast = std::move(screencast), thumbnail = *image]() mutable {
        if (weakSelf.expired()) return;
        (void)screencast.hashValue();
        DispatchQueue::main().async(
            [weakSelf, screencast = std::move(screencast), thumbnail = std::move(thumbnail)] {
              if (auto self = weakSelf.lock()) self->uploadScreencast(screencast, thumbnail);
            });
      });
}

void ShareManager::uploadScreencast(const Screencast& screencast, const PlatformImage& thumbnail) {
  const auto videoURL = _shareURLHelperService->generateShareURL(screencast);
  if (!videoURL) {
    reportUploadError(screencast, ShareServiceError::shareURLisAbsent);
    return;
  }
  const auto htmlURL = _shareURLHelperService->generateHTMLShareURL(screencast);
  const auto thumbnailURL = _shareURLHelperService->generateThumbnailShareURL(screencast);
  if (!htmlURL || !thumbnailURL) {
    // The file changed or went away since the video's link was made.
    reportUploadError(screencast, ShareServiceError::shareURLisAbsent);
    return;
  }

  // A file whose date cannot be read is named after the moment it is shared.
  const auto date = screencast.date().value_or(std::chrono::system_clock::now());
  const std::string title = screencastTitle(date, screencast.durationSeconds());
  const std::string page =
      screencastHTMLHelper_.createHTML(title, *videoURL, *thumbnailURL, *htmlURL, thumbnail.size());
  if (!isValidUTF8(page)) {
    reportUploadError(screencast, ShareServiceError::screencastHTMLDataError);
    return;
  }

  const auto htmlLocalURL = _screencaptureHelper->screencastHTMLURL(screencast.fileURL());
  if (!htmlLocalURL) {
    reportUploadError(screencast, htmlLocalURL.error());
    return;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(page.data());
  if (auto written = writeFile(*htmlLocalURL, {bytes, page.size()}); !written) {
    reportUploadError(screencast, written.error());
    return;
  }

  auto task =
      UploadScreencastTask::make(screencast, *videoURL, *htmlLocalURL, *htmlURL, *_fileService);
  if (!task) {
    reportUploadError(screencast, task.error());
    return;
  }
  const std::int64_t bytesToUpload =
      (*task)->screencastFileSize() + (*task)->thumbnailFileSize() + (*task)->htmlFileSize();
  if (auto quota = checkQuota(bytesToUpload); !quota) {
    reportUploadError(screencast, quota.error());
    return;
  }
  (*task)->setDelegate(weak_from_this());
  // The page, not the video, is what a shared screencast's link opens. It is copied before the
  // task is queued, as for every other kind: a queued task may start at once, and the user must
  // be able to paste the link by the time the upload is reported started.
  if (auto pageURL = _shareURLHelperService->generateHTMLShareURL(screencast);
      pageURL && _pasteboardService) {
    _pasteboardService->copyToPasteBoard(*pageURL);
  }
  uploadQueue_.addUploadTask(*task);
  if (_userNotificationsService) {
    _userNotificationsService->showNotification(UserNotificationKind::screencastQueued(),
                                                std::string(), screencast);
  }
}

std::string ShareManager::screencastTitle(ScreenCapture::Date date, std::int64_t durationSeconds) {
  std::string day;
  UErrorCode status = U_ZERO_ERROR;
  // Made for each title: it follows the locale and time zone the user has now.
  icu::SimpleDateFormat formatter(icu::UnicodeString::fromUTF8("yyyy-MM-dd"), status);
  if (U_SUCCESS(status)) {
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    icu::UnicodeString text;
    formatter.format(static_cast<UDate>(millis), text);
    text.toUTF8String(day);
  }
  const std::int64_t duration = durationSeconds > 0 ? durationSeconds : 0;
  char seconds[8];
  std::snprintf(seconds, sizeof seconds, "%02d", static_cast<int>(duration % 60));
  return "Screencast - " + day + " - " + std::to_string(duration / 60) + ":" + seconds;
}

}  // namespace lumo
