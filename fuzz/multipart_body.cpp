// The multipart body of an upload, built as the upload task builds it (a fresh boundary, the
// fields, then the file streamed from disk) with arbitrary field names and values, file name,
// content type and file bytes, read back through the body reader the transfer uses, and parsed
// again by the small parser below: every field and every file byte must come back exactly.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>

#include "BodyReader.h"
#include "FuzzSupport.h"
#include "lumo/tasks/MultipartFormData.h"

using namespace lumo;

namespace {

struct Part {
  std::string headers;  // the header lines, CRLF-separated, without the blank line
  std::string content;
};

// Splits a multipart/form-data body by RFC 2046's rules: a delimiter is CRLF "--" boundary
// (the first one without the CRLF), the last one is followed by "--". Returns nothing when
// the body does not have that layout.
std::optional<std::vector<Part>> parseMultipart(std::string_view body, std::string_view boundary) {
  const std::string first = "--" + std::string(boundary), delimiter = "\r\n" + first;
  if (!body.starts_with(first)) return std::nullopt;
  std::size_t at = first.size();
  std::vector<Part> parts;
  for (;;) {
    if (body.substr(at) == "--") return parts;  // the close delimiter ends the body
    if (body.substr(at, 2) != "\r\n") return std::nullopt;
    at += 2;
    const std::size_t end = body.find(delimiter, at);
    if (end == std::string_view::npos) return std::nullopt;
    const std::string_view part = body.substr(at, end - at);
    const std::size_t blank = part.find("\r\n\r\n");
    if (blank == std::string_view::npos) return std::nullopt;
    parts.push_back(Part{std::string(part.substr(0, blank)), std::string(part.substr(blank + 4))});
    at = end + delimiter.size();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // The task's fields come from a dictionary: unique names, in order.
  std::map<std::string, std::string> fieldMap;
  for (int i = input.ConsumeIntegralInRange(0, 6); i > 0; --i) {
    std::string name = input.ConsumeRandomLengthString(64);
    fieldMap[std::move(name)] = input.ConsumeRandomLengthString(256);
  }
  const std::string fileName = input.ConsumeRandomLengthString(128),
                    contentType = input.ConsumeRandomLengthString(64);
  const std::size_t chunk = input.ConsumeIntegralInRange<std::size_t>(1, 4096);
  const std::string fileBytes = input.ConsumeRemainingBytesAsString();

  static const auto file = fuzz::scratchFolder() / "upload.bin";
  fuzz::writeFile(file, fileBytes);
  const MultipartFormData form(
      MultipartFormData::makeBoundary(),
      std::vector<MultipartFormData::Field>(fieldMap.begin(), fieldMap.end()), fileName,
      contentType);
  LUMO_FUZZ_CHECK(
      form.contentTypeHeaderValue() == "multipart/form-data; boundary=" + form.boundary(),
      "the header does not name the boundary");

  // Read as the transfer reads it, in chunks.
  auto reader = detail::BodyReader::open(form.httpBody(file, fileBytes.size()));
  LUMO_FUZZ_CHECK(reader.ok(), "the body does not open");
  std::string body, buffer(chunk, '\0');
  for (std::optional<std::size_t> n; (n = (*reader)->read(buffer.data(), buffer.size())) != 0u;) {
    LUMO_FUZZ_CHECK(n.has_value(), "the body does not read: " + (*reader)->failure());
    body.append(buffer, 0, *n);
  }
  LUMO_FUZZ_CHECK(body.size() == form.contentLength(fileBytes.size()) &&
                      static_cast<std::int64_t>(body.size()) == (*reader)->size(),
                  "the body is not as long as announced");

  const auto parts = parseMultipart(body, form.boundary());
  LUMO_FUZZ_CHECK(parts.has_value(), "the body is not multipart/form-data");
  LUMO_FUZZ_CHECK(parts->size() == fieldMap.size() + 1, "fields were added or lost");
  std::size_t index = 0;
  for (const auto& [name, value] : fieldMap) {
    const Part& part = (*parts)[index++];
    LUMO_FUZZ_CHECK(part.headers == "Content-Disposition: form-data; name=\"" +
                                        MultipartFormData::escapedHeaderText(name) + "\"",
                    "a field's header is not one line naming it: " + part.headers);
    LUMO_FUZZ_CHECK(part.content == value, "a field's value changed");
  }
  const Part& filePart = parts->back();
  LUMO_FUZZ_CHECK(filePart.headers == "Content-Disposition: form-data; name=\"file\"; filename=\"" +
                                          MultipartFormData::escapedHeaderText(fileName) +
                                          "\"\r\nContent-Type: " +
                                          MultipartFormData::escapedHeaderText(contentType),
                  "the file's headers are not two lines: " + filePart.headers);
  LUMO_FUZZ_CHECK(filePart.content == fileBytes, "the file's bytes changed");
  // The escaped header texts hold no quote or line break that could end a name or a line.
  for (const std::string& text : {fileName, contentType})
    LUMO_FUZZ_CHECK(
        MultipartFormData::escapedHeaderText(text).find_first_of("\"\r\n") == std::string::npos,
        "an escaped header text keeps a quote or line break");
  return 0;
}
