#include "lumo/tasks/MultipartFormData.h"

#include <cerrno>

#include "lumo/platform/UUID.h"

namespace lumo {
namespace {

constexpr std::string_view kCRLF = "\r\n";

void append(std::vector<std::uint8_t>& out, std::string_view text) {
  out.insert(out.end(), text.begin(), text.end());
}

}  // namespace

MultipartFormData::MultipartFormData(std::string boundary, std::vector<Field> fields,
                                     std::string fileName, std::string fileContentType)
    : boundary_(std::move(boundary)),
      fields_(std::move(fields)),
      fileName_(std::move(fileName)),
      fileContentType_(std::move(fileContentType)) {
  // One separator line serves every part.
  const std::string separator = "--" + boundary_ + std::string(kCRLF);
  for (const auto& [name, value] : fields_) {
    append(prefix_, separator);
    append(prefix_, "Content-Disposition: form-data; name=\"");
    append(prefix_, escapedHeaderText(name));
    append(prefix_, "\"");
    append(prefix_, kCRLF);
    append(prefix_, kCRLF);
    append(prefix_, value);
    append(prefix_, kCRLF);
  }
  append(prefix_, separator);
  append(prefix_, "Content-Disposition: form-data; name=\"file\"; filename=\"");
  append(prefix_, escapedHeaderText(fileName_));
  append(prefix_, "\"");
  append(prefix_, kCRLF);
  append(prefix_, "Content-Type: ");
  append(prefix_, escapedHeaderText(fileContentType_));
  append(prefix_, kCRLF);
  append(prefix_, kCRLF);

  append(suffix_, kCRLF);
  append(suffix_, "--");
  append(suffix_, boundary_);
  append(suffix_, "--");
}

std::string MultipartFormData::makeBoundary() {
  return "Boundary-" + makeUUIDString();
}

std::string MultipartFormData::escapedHeaderText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"':
        out += "%22";
        break;
      case '\r':
        out += "%0D";
        break;
      case '\n':
        out += "%0A";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string MultipartFormData::contentTypeHeaderValue() const {
  return "multipart/form-data; boundary=" + boundary_;
}

HttpBody MultipartFormData::httpBody(const std::filesystem::path& file, std::uint64_t fileSize,
                                     FileDescriptor descriptor) const {
  HttpBody body;
  body.appendBytes(prefix_);
  // The length is fixed now so that the announced Content-Length holds even when the file
  // grows meanwhile; a file that shrinks fails the transfer instead.
  if (fileSize > 0 && descriptor) {
    body.appendFile(std::move(descriptor), file, 0, fileSize);
  } else if (fileSize > 0) {
    body.appendFile(file, 0, fileSize);
  }
  body.appendBytes(suffix_);
  return body;
}

}  // namespace lumo
