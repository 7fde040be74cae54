#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "lumo/Export.h"
#include "lumo/platform/ItemProvider.h"
#include "lumo/platform/MimeTypes.h"

namespace lumo {

// The item provider of the Linux share extension: one file path, or one URI of a
// `text/uri-list` (what a desktop "send to" action or a drag and drop hands over).
//
//   auto provider = LinuxItemProvider::forURI("file:///home/me/photo%201.png");
//   provider->hasItemConformingToTypeIdentifier(kUTTypeImage);   // true: image/png
//   provider->loadItem(kUTTypeURL, [](const Result<ItemProvider::Item>& item) {
//     // Data holding "file:///home/me/photo%201.png"
//   });
//
// Conformance:
// - a local file conforms to "public.url" and "public.file-url", to "public.image" when the
//   MIME type of its extension is image/*, and to "public.movie" when it is video/*;
// - another URL (https, a file on another host) conforms to "public.url" only;
// - a URI that cannot name a local file (bad percent-escapes, a NUL byte, a query or fragment,
//   text that is no URI) conforms to "public.url" and "public.file-url", so that asking for
//   it ends with an error that says what is wrong with it rather than in silence.
//
// Loading any type the provider conforms to gives `Data` holding the URL's text. A local file
// is looked at when it is loaded: a missing item or a folder fails with a `FileError` naming
// the path. Completions run on the global queue. Immutable; safe from any thread.
class LUMO_API LinuxItemProvider : public ItemProvider,
                                   public std::enable_shared_from_this<LinuxItemProvider> {
 public:
  // A provider for the file at `path`, made absolute against the current folder. The MIME type
  // comes from `mimeTypes` (kept only while this call runs).
  static std::shared_ptr<LinuxItemProvider> forFilePath(
      const std::filesystem::path& path, const MimeTypes& mimeTypes = MimeTypes::system());

  // A provider for one URI, surrounding blanks ignored. "file:" URIs with an empty host or
  // "localhost" name local files; their path is percent-decoded byte for byte (names need not
  // be UTF-8).
  static std::shared_ptr<LinuxItemProvider> forURI(
      std::string_view text, const MimeTypes& mimeTypes = MimeTypes::system());

  // The local file's absolute path; nullopt for other URLs and unusable URIs.
  const std::optional<std::filesystem::path>& filePath() const { return filePath_; }
  // The MIME type of the local file's extension, when known.
  const std::optional<std::string>& mimeType() const { return mimeType_; }

  bool hasItemConformingToTypeIdentifier(std::string_view typeIdentifier) const override;
  void loadItem(std::string_view typeIdentifier,
                std::function<void(Result<Item>)> completion) override;

 private:
  enum class Kind { localFile, otherURL, unusable };

  LinuxItemProvider() = default;
  static std::shared_ptr<LinuxItemProvider> localFile(std::filesystem::path path,
                                                      const MimeTypes& mimeTypes);
  static std::shared_ptr<LinuxItemProvider> unusable(std::string problem);

  // What a load hands over, worked out on the loading thread.
  Result<Item> load(std::string_view typeIdentifier) const;

  Kind kind_ = Kind::unusable;
  std::optional<std::filesystem::path> filePath_;  // localFile
  std::optional<std::string> mimeType_;            // localFile
  std::string url_;                                // otherURL: the URI as given
  std::string problem_;                            // unusable: why no file can be loaded
};

}  // namespace lumo
