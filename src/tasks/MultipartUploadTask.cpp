#include "lumo/tasks/MultipartUploadTask.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>
#include <vector>

#include "lumo/api/HTTPRequester.h"
#include "lumo/platform/FileDescriptor.h"
#include "lumo/platform/FileManager.h"
#include "lumo/platform/HttpRequest.h"
#include "lumo/support/DispatchQueue.h"
#include "lumo/tasks/MultipartFormData.h"

namespace lumo {
namespace {

constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
constexpr int kFileReadUnknownError = 256;
constexpr int kFileReadNoPermissionError = 257;
constexpr int kFileReadNoSuchFileError = 260;

Error readError(const std::filesystem::path& path, int errorNumber) {
  const std::string name = "\"" + path.filename().string() + "\"";
  switch (errorNumber) {
    case ENOENT:
    case ENOTDIR:
      return Error::transport(
          kCocoaErrorDomain, kFileReadNoSuchFileError,
          "The file " + name + " couldn't be opened because there is no such file.");
    case EACCES:
    case EPERM:
      return Error::transport(kCocoaErrorDomain, kFileReadNoPermissionError,
                              "The file " + name +
                                  " couldn't be opened because you don't have permission to "
                                  "view it.");
    default:
      return Error::transport(
          kCocoaErrorDomain, kFileReadUnknownError,
          "The file " + name + " couldn't be opened. (" + errnoText(errorNumber) + ")");
  }
}

// The regular file at `path`, open for reading, and its size.
struct OpenedFile {
  FileDescriptor descriptor;
  std::uint64_t size = 0;
};

Result<OpenedFile> openForReading(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return readError(path, errno);
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return readError(path, errno);
  if (!S_ISREG(info.st_mode)) return readError(path, S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
  return OpenedFile{std::move(fd), static_cast<std::uint64_t>(info.st_size)};
}

}  // namespace

MultipartUploadTask::MultipartUploadTask(UploadTaskComponents components,
                                         StartUploadResponse response)
    : components_(std::move(components)), response_(std::move(response)) {}

std::map<std::string, std::string> MultipartUploadTask::formFields() const {
  const PresignedFields& fields = response_.presignedPost.fields;
  return {
      {"content-type", components_.contentType},
      {"policy", fields.policy},
      {"signature", fields.signature},
      {"acl", fields.acl},
      {"key", response_.key},
      {"AWSAccessKeyId", fields.aWSAccessKeyId},
  };
}

Result<std::shared_ptr<HttpTask>> MultipartUploadTask::upload(
    std::weak_ptr<HttpSessionDelegate> delegate) const {
  const std::map<std::string, std::string> fieldMap = formFields();

  std::optional<Url> url = response_.uploadUrl();
  if (!url) {
    return Error::transport(
        kURLErrorDomain, URLErrorCode::kBadURL,
        "The storage address \"" + response_.presignedPost.url + "\" is not a valid URL.");
  }

  HttpRequest request(*url, "POST");
  request.timeoutInterval = std::chrono::seconds(60);

  // The size is taken from the file as it is now, not from the components, so that the
  // Content-Length always matches the bytes that follow. The descriptor that measured it is
  // the one the body is read through: a file removed or replaced from now on changes nothing,
  // and one that is gone already fails here, before any request.
  const std::filesystem::path file = components_.localURL.filePath();
  Result<OpenedFile> opened = openForReading(file);
  if (!opened) return opened.error();
  const std::uint64_t fileSize = opened->size;

  MultipartFormData form(MultipartFormData::makeBoundary(),
                         std::vector<MultipartFormData::Field>(fieldMap.begin(), fieldMap.end()),
                         components_.remoteName(), components_.contentType);
  request.setValue(form.contentTypeHeaderValue(), "Content-Type");

  auto session = HttpSession::make(HTTPRequester::registeredConfiguration(), std::move(delegate),
                                   DispatchQueue::main());
  std::shared_ptr<HttpTask> transfer = session->uploadTask(
      std::move(request), form.httpBody(file, fileSize, std::move(opened->descriptor)));
  transfer->resume();
  return transfer;
}

}  // namespace lumo
