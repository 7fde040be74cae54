#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "lumo/Export.h"
#include "lumo/platform/Url.h"

namespace lumo {

// A file handed to the library for sharing, with the kind of thing it is. The four kinds
// (`Screenshot`, `Screencast`, `GIF`, `OtherItem`) are small value classes deriving from this
// interface; operations that take a capture take `const ScreenCapture&` and tell the kinds
// apart with `dynamic_cast`.
//
//   Screenshot shot(Url::fileURL("/home/me/Pictures/Lumo/Screen Shot ... .png"));
//   shot.typeName();        // "Screenshot"
//   shot.fileExtension();   // "png"
//   shot.hashValue();       // "d41d8cd98f00b204e9800998ecf8427e" for an empty file
//
// Everything but the file URL is derived from the file system afresh on each access (the
// digest is read once per version of the file: `HashGenerator::cachedHashValue`); a value
// that cannot be read is absent (nullopt, or the empty string for `formattedDate`). Nothing
// checks beforehand that the file exists. Captures are immutable (apart from a screencast's
// thumbnail URL) and may be copied between threads.
class LUMO_API ScreenCapture {
 public:
  using Date = std::chrono::system_clock::time_point;

  virtual ~ScreenCapture() = default;

  // A copy of the capture with its concrete kind.
  virtual std::unique_ptr<ScreenCapture> clone() const = 0;

  // The URL of the capture's file.
  virtual const Url& fileURL() const = 0;
  // The file's content modification date; nullopt when it cannot be read.
  virtual std::optional<Date> date() const;
  // `date()` rendered by the shared date formatter (medium date, short time, relative:
  // "Today, 3:04 PM" in English); empty when there is no date.
  virtual std::string formattedDate() const;
  // The lowercase hexadecimal MD5 digest of the file's bytes (32 characters); nullopt when
  // the file cannot be opened for reading, or is a folder. Kept in the process's digest cache,
  // so that the file is read again only once it changed.
  virtual std::optional<std::string> hashValue() const;

  // The text after the last "." of the URL's path. Unlike the path extension, a dot in a
  // folder name counts, and a path without any dot is returned whole.
  std::string fileExtension() const;
  // The kind's name in words: "Screenshot", "Screencast", "Gif", "Other Item".
  std::string typeName() const;
  // The file's size in bytes; nullopt when it cannot be read (missing file, folder).
  std::optional<std::int64_t> fileSize() const;

 protected:
  ScreenCapture() = default;
  ScreenCapture(const ScreenCapture&) = default;
  ScreenCapture& operator=(const ScreenCapture&) = default;

  // The name of the concrete kind as written in code ("OtherItem").
  virtual std::string_view kindName() const = 0;
};

}  // namespace lumo
