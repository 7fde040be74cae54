#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "lumo/sharing/ShareStateModel.h"
#include "lumo/support/Result.h"

namespace lumo {

// The states file on disk: decoding that stands up to any content, and saves that replace the
// file as a whole.
//
//   ShareStatesFile file(folder / "share_states.json");
//   auto states = file.read();   // or a DecodingError, or a FileError
//   file.write(states);      // temporary file, fsync, rename over the states file
class ShareStatesFile {
 public:
  // How deeply any value in a states file may be nested (the array and its objects need two
  // levels; the rest is room for members the store does not know).
  static constexpr int kMaxDepth = 16;

  explicit ShareStatesFile(std::filesystem::path path) : path_(std::move(path)) {}

  const std::filesystem::path& path() const { return path_; }

  // Reads the whole file, whatever its size, and decodes it. Fails with a `FileError` when it
  // cannot be opened or read, is not a regular file or does not fit in memory, and with a
  // `DecodingError` when its content does not decode (see `decode`).
  Result<ShareStateModel::Set> read() const;

  // Whether a failure of `read` left the content unknown: the file could not be opened or read,
  // or did not fit in memory. Such a file may hold valid states. False for the failures that
  // show it is no states file (not a regular file, content that does not decode) and for a file
  // that is gone.
  static bool contentWasNotRead(const Error& error);

  // Replaces the file with the encoding of `states`: written to a temporary file in the same
  // folder (locked while it is written), flushed to disk, renamed over the file, the folder
  // flushed. Readers only ever see the old or the new content. Fails with a `FileError`; the
  // temporary file is removed then.
  Result<void> write(const ShareStateModel::Set& states) const;

  // Removes the temporary files that writers killed while saving left in the folder. Those of
  // live writers, in this process or another, are locked and stay.
  void removeLeftovers() const;

  // A JSON array of {"id": ..., "state": ...} objects, compact; "[]" when empty. Bytes of an id
  // that are not UTF-8 are written as U+FFFD.
  static std::string encode(const ShareStateModel::Set& states);

  // The states of a JSON array of objects with a string "id" and a string "state" holding one of
  // the seven raw values (other members are ignored; of several objects with one id the first
  // wins). Anything else fails as a whole with a `DecodingError`, without reading further: a
  // value nested deeper than `kMaxDepth`, wrong types, missing members, an unknown state.
  // Memory running out is no verdict on the text: `std::bad_alloc` passes through.
  // Text in the form `encode` writes is read in one pass of its own, any other by a JSON parser;
  // both give the same answer for it.
  static Result<ShareStateModel::Set> decode(std::string_view text);

  // `decode` through the JSON parser alone, whatever the form.
  static Result<ShareStateModel::Set> decodeAnyForm(std::string_view text);

 private:
  // The prefix of the temporary files: hidden, and named after the file they replace.
  std::string temporaryPrefix() const;
  std::filesystem::path folder() const;
  Result<void> writeOnce(const std::string& data) const;

  std::filesystem::path path_;
};

}  // namespace lumo
