#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lumo/Export.h"
#include "lumo/platform/HttpBody.h"

namespace lumo {

// The layout of a multipart/form-data body (RFC 7578) made of text fields followed by one file
// part named "file", as the storage's presigned posts want it:
//
//   "--" B CRLF  Content-Disposition: form-data; name="<field>" CRLF CRLF  <value> CRLF
//   ... once per field, in the order given ...
//   "--" B CRLF  Content-Disposition: form-data; name="file"; filename="<name>" CRLF
//   Content-Type: <type> CRLF CRLF  <the file's bytes>  CRLF "--" B "--"
//
// The body ends right after the closing boundary, without a CRLF. Everything before the file's
// bytes is the prefix, everything after it the suffix, so that the file itself is streamed
// from disk between them and memory stays bounded whatever its size:
//
//   MultipartFormData form(MultipartFormData::makeBoundary(), fields, "abc.png", "image/png");
//   request.setValue(form.contentTypeHeaderValue(), "Content-Type");
//   session->uploadTask(request, form.httpBody(path, size))->resume();
//
// Text written inside part headers (field names, the file name, the content type) has `"`, CR
// and LF percent-encoded (%22, %0D, %0A), as browsers do, so that no name can end the quoted
// string or start a header line of its own. Field values are written as they are.
class LUMO_API MultipartFormData {
 public:
  // A text field: its name and value.
  using Field = std::pair<std::string, std::string>;

  MultipartFormData(std::string boundary, std::vector<Field> fields, std::string fileName,
                    std::string fileContentType);

  // "Boundary-" followed by a fresh upper-case UUID: 45 characters.
  static std::string makeBoundary();

  // `text` with the bytes `"`, CR and LF replaced by %22, %0D and %0A.
  static std::string escapedHeaderText(std::string_view text);

  const std::string& boundary() const { return boundary_; }
  const std::vector<Field>& fields() const { return fields_; }
  const std::string& fileName() const { return fileName_; }
  const std::string& fileContentType() const { return fileContentType_; }

  // "multipart/form-data; boundary=" followed by the boundary.
  std::string contentTypeHeaderValue() const;

  // The bytes before the file's content: every field, then the file part's header lines.
  const std::vector<std::uint8_t>& prefix() const { return prefix_; }
  // The bytes after the file's content: CRLF, "--", the boundary, "--".
  const std::vector<std::uint8_t>& suffix() const { return suffix_; }

  // The size of the whole body around a file of `fileSize` bytes.
  std::uint64_t contentLength(std::uint64_t fileSize) const {
    return prefix_.size() + fileSize + suffix_.size();
  }

  // The streamed body: the prefix, `fileSize` bytes of the file at `file` read while the
  // request is sent (through `descriptor` when it is open), the suffix.
  HttpBody httpBody(const std::filesystem::path& file, std::uint64_t fileSize,
                    FileDescriptor descriptor = {}) const;

 private:
  std::string boundary_;
  std::vector<Field> fields_;
  std::string fileName_;
  std::string fileContentType_;
  std::vector<std::uint8_t> prefix_;
  std::vector<std::uint8_t> suffix_;
};

}  // namespace lumo
