#include "lumo/platform/LinuxItemProvider.h"

#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "lumo/platform/FileManager.h"
#include "lumo/platform/Url.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace fs = std::filesystem;

namespace {

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(text[i]) != lower(prefix[i])) return false;
  }
  return true;
}

// A URI scheme: a letter, then letters, digits, "+", "-" or ".", then ":".
bool hasScheme(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (!isAlpha(text[0])) return false;
  for (std::size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!isAlpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view trimmed(std::string_view text) {
  const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The extension of the last component without its dot: "" for ".hidden" and "name.".
std::string extensionOf(const fs::path& path) {
  const std::string extension = path.filename().extension().native();
  return extension.empty() ? std::string() : extension.substr(1);
}

}  // namespace

std::shared_ptr<LinuxItemProvider> LinuxItemProvider::forFilePath(const fs::path& path,
                                                                  const MimeTypes& mimeTypes) {
  if (path.empty()) return unusable("An empty path names no file");
  if (path.native().find('\0') != std::string::npos) {
    return unusable("A path holding a NUL byte names no file");
  }
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return unusable("Cannot share " + quotedPath(path) + ": " + ec.message());
  return localFile(std::move(absolute), mimeTypes);
}

std::shared_ptr<LinuxItemProvider> LinuxItemProvider::forURI(std::string_view text,
                                                             const MimeTypes& mimeTypes) {
  const std::string_view uri = trimmed(text);
  const std::string shown = quotedPath(std::string(uri));
  if (!hasScheme(uri)) return unusable(shown + " is not a URI");

  if (!startsWithIgnoringCase(uri, "file:")) {
    auto provider = std::shared_ptr<LinuxItemProvider>(new LinuxItemProvider());
    provider->kind_ = Kind::otherURL;
    provider->url_ = std::string(uri);
    return provider;
  }

  // file:///path, file://localhost/path or file:/path.
  std::string_view rest = uri.substr(5);
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    const std::size_t slash = rest.find('/');
    const std::string_view host = rest.substr(0, slash);
    if (!host.empty() && !(host.size() == 9 && startsWithIgnoringCase(host, "localhost"))) {
      return unusable(shown + " names a file on another computer (" + std::string(host) + ")");
    }
    if (slash == std::string_view::npos) return unusable(shown + " names no file");
    rest.remove_prefix(slash);
  }
  if (!rest.starts_with('/')) return unusable(shown + " is not a valid file URI");
  if (rest.find_first_of("?#") != std::string_view::npos) {
    return unusable(shown + " is not a valid file URI: it has a query or a fragment");
  }

  std::string path;
  path.reserve(rest.size());
  for (std::size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] != '%') {
      path += rest[i];
      continue;
    }
    const int high = i + 2 < rest.size() ? hexValue(rest[i + 1]) : -1;
    const int low = i + 2 < rest.size() ? hexValue(rest[i + 2]) : -1;
    if (high < 0 || low < 0) {
      return unusable(shown + " is not a valid file URI: it has a broken percent-escape");
    }
    const char byte = static_cast<char>(high * 16 + low);
    if (byte == '\0') return unusable(shown + " names no file: its path holds a NUL byte");
    path += byte;
    i += 2;
  }
  return localFile(fs::path(std::move(path)), mimeTypes);
}

std::shared_ptr<LinuxItemProvider> LinuxItemProvider::localFile(fs::path path,
                                                                const MimeTypes& mimeTypes) {
  auto provider = std::shared_ptr<LinuxItemProvider>(new LinuxItemProvider());
  provider->kind_ = Kind::localFile;
  provider->mimeType_ = mimeTypes.mimeType(extensionOf(path));
  provider->filePath_ = std::move(path);
  return provider;
}

std::shared_ptr<LinuxItemProvider> LinuxItemProvider::unusable(std::string problem) {
  auto provider = std::shared_ptr<LinuxItemProvider>(new LinuxItemProvider());
  provider->kind_ = Kind::unusable;
  provider->problem_ = std::move(problem);
  return provider;
}

bool LinuxItemProvider::hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const {
  if (typeIdentifier == kUTTypeURL) return true;
  switch (kind_) {
    case Kind::otherURL:
      return false;
    case Kind::unusable:
      return typeIdentifier == kUTTypeFileURL;
    case Kind::localFile:
      if (typeIdentifier == kUTTypeFileURL) return true;
      if (typeIdentifier == kUTTypeImage) return mimeType_ && mimeType_->starts_with("image/");
      if (typeIdentifier == kUTTypeMovie) return mimeType_ && mimeType_->starts_with("video/");
      return false;
  }
  return false;
}

void LinuxItemProvider::loadItem(std::string_view typeIdentifier,
                                 std::function<void(Result<Item>)> completion) {
  if (!completion) return;
  // The provider is immutable, so the load may outlive the caller's reference to it.
  DispatchQueue::global().async(
      [self = shared_from_this(), type = std::string(typeIdentifier),
       completion = std::move(completion)] { completion(self->load(type)); });
}

Result<ItemProvider::Item> LinuxItemProvider::load(std::string_view typeIdentifier) const {
  if (!hasItemConformingToTypeIdentifier(typeIdentifier)) {
    return Error(FileError{EINVAL, filePath_.value_or(fs::path()),
                           "The item cannot be loaded as " + std::string(typeIdentifier)});
  }
  std::string text;
  switch (kind_) {
    case Kind::unusable:
      return Error(FileError{EINVAL, {}, problem_});
    case Kind::otherURL:
      text = url_;
      break;
    case Kind::localFile: {
      const fs::path& path = *filePath_;
      const std::string action = "Cannot share " + quotedPath(path);
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0) return Error(fileError(errno, path, action));
      if (S_ISDIR(st.st_mode)) return Error(fileError(EISDIR, path, action));
      text = Url::fileURL(path).absoluteString();
      break;
    }
  }
  return Item{Data(text.begin(), text.end())};
}

}  // namespace lumo
