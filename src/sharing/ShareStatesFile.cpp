#include "ShareStatesFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "lumo/api/DecodingError.h"
#include "lumo/platform/FileDescriptor.h"
#include "lumo/platform/FileManager.h"
#include "lumo/platform/UTF8.h"

namespace lumo {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// Builds the states from the parser's events, checking every value before it is used, and
// stops at the first thing that does not belong in a states file.
class StatesReader final : public json::json_sax_t {
 public:
  ShareStateModel::Set states;
  std::optional<DecodingError> failure;

  bool null() override { return scalar("null", /*isNull=*/true); }
  bool boolean(bool) override { return scalar("a bool"); }
  bool number_integer(number_integer_t) override { return scalar("a number"); }
  bool number_unsigned(number_unsigned_t) override { return scalar("a number"); }
  bool number_float(number_float_t, const string_t&) override { return scalar("a number"); }
  bool binary(binary_t&) override { return scalar("binary data"); }

  bool string(string_t& value) override {
    if (depth_ != 2 || skipping_) return scalar("a string");
    if (key_ == "id") {
      id_ = std::move(value);
    } else if (key_ == "state") {
      state_ = shareStateFromRawValue(value);
      if (!state_) {
        return fail(
            DecodingError(DecodingError::Kind::dataCorrupted, path(),
                          "Cannot initialize ShareState from invalid String value " + value));
      }
    }
    return true;
  }

  bool start_object(std::size_t) override {
    if (depth_ == 0) return fail(mismatch({}, "Array<Any>", "a dictionary"));
    if (depth_ == 1) {
      id_.reset();
      state_.reset();
      key_.clear();
    } else if (!skipping_) {
      if (!memberMayBeSkipped("a dictionary")) return false;
    }
    return enter();
  }

  bool key(string_t& value) override {
    if (depth_ == 2) key_ = std::move(value);
    return true;
  }

  bool end_object() override {
    --depth_;
    if (depth_ == 1) {
      if (!id_) return fail(missing("id"));
      if (!state_) return fail(missing("state"));
      // Of several objects with one id, the first stays.
      states.insert(ShareStateModel{std::move(*id_), *state_});
      ++index_;
    }
    if (depth_ == 2) skipping_ = false;
    return true;
  }

  bool start_array(std::size_t) override {
    if (depth_ == 1) return fail(mismatch(indexPath(), "Dictionary<String, Any>", "an array"));
    if (depth_ >= 2 && !skipping_ && !memberMayBeSkipped("an array")) return false;
    return enter();
  }

  bool end_array() override {
    --depth_;
    if (depth_ == 2) skipping_ = false;
    return true;
  }

  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& ex) override {
    return fail(DecodingError(DecodingError::Kind::dataCorrupted, {},
                              "The given data was not valid JSON. (at byte " +
                                  std::to_string(position) + ": " + ex.what() + ")"));
  }

 private:
  bool enter() {
    if (++depth_ > ShareStatesFile::kMaxDepth) {
      return fail(DecodingError(DecodingError::Kind::dataCorrupted, {},
                                "The given data was not valid JSON. (nested deeper than " +
                                    std::to_string(ShareStatesFile::kMaxDepth) + " levels)"));
    }
    return true;
  }

  // A value that is no string: fine only inside members the store does not read.
  bool scalar(const char* found, bool isNull = false) {
    if (depth_ == 0) return fail(mismatch({}, "Array<Any>", found));
    if (depth_ == 1) return fail(mismatch(indexPath(), "Dictionary<String, Any>", found));
    if (skipping_ || depth_ > 2) return true;
    if (key_ == "id" || key_ == "state") {
      if (isNull) {
        return fail(DecodingError(DecodingError::Kind::valueNotFound, path(),
                                  "Expected String value but found null instead.", "String"));
      }
      return fail(mismatch(path(), "String", found));
    }
    return true;
  }

  // A container as a member's value: skipped unless it is "id" or "state".
  bool memberMayBeSkipped(const char* found) {
    if (depth_ == 2 && (key_ == "id" || key_ == "state")) {
      return fail(mismatch(path(), "String", found));
    }
    if (depth_ == 2) skipping_ = true;
    return true;
  }

  std::vector<std::string> indexPath() const { return {"Index " + std::to_string(index_)}; }
  std::vector<std::string> path() const { return {"Index " + std::to_string(index_), key_}; }

  DecodingError mismatch(std::vector<std::string> codingPath, const std::string& expected,
                         const std::string& found) const {
    return DecodingError(DecodingError::Kind::typeMismatch, std::move(codingPath),
                         "Expected to decode " + expected + " but found " + found + " instead.",
                         expected);
  }
  DecodingError missing(const std::string& key) const {
    return DecodingError(DecodingError::Kind::keyNotFound, indexPath(),
                         "No value associated with key \"" + key + "\".", {}, key);
  }

  bool fail(DecodingError error) {
    if (!failure) failure = std::move(error);
    return false;
  }

  int depth_ = 0;          // containers open around the current event
  std::size_t index_ = 0;  // of the object being read in the top array
  bool skipping_ = false;  // inside a container member the store does not read
  std::string key_;        // the last member name of the current object
  std::optional<std::string> id_;
  std::optional<ShareState> state_;
};

// The states of a file as `encode` writes it, read without the general parser: one pass, no
// events, one allocation per capture. Nothing when the text takes any other form (whitespace,
// other members or another order, escapes other than the short ones, ill-formed UTF-8): the
// general parser then decides, so both readings agree on everything this one accepts.
class CompactReader {
 public:
  explicit CompactReader(std::string_view text)
      : at_(text.data()), end_(text.data() + text.size()) {}

  std::optional<ShareStateModel::Set> read() {
    ShareStateModel::Set states;
    // A file cut short is left to the parser at once, before a set is built for nothing.
    if (at_ == end_ || end_[-1] != ']' || !take("[")) return std::nullopt;
    if (take("]")) return at_ == end_ ? std::optional(std::move(states)) : std::nullopt;
    // An entry takes 30 bytes and more: enough buckets for the usual ids, no rehashing.
    states.reserve(static_cast<std::size_t>(end_ - at_) / 32);
    do {
      std::string id;
      if (!take("{\"id\":") || !string(id) || !take(",\"state\":\"")) return std::nullopt;
      const auto* quote = static_cast<const char*>(std::memchr(at_, '"', left()));
      if (!quote) return std::nullopt;
      const auto state = shareStateFromRawValue(std::string_view(at_, quote));
      at_ = quote + 1;
      if (!state || !take("}")) return std::nullopt;
      // Of several objects with one id, the first stays.
      states.insert(ShareStateModel{std::move(id), *state});
    } while (take(","));
    if (!take("]") || at_ != end_) return std::nullopt;
    return states;
  }

 private:
  std::size_t left() const { return static_cast<std::size_t>(end_ - at_); }

  template <std::size_t N>
  bool take(const char (&literal)[N]) {
    if (left() < N - 1 || std::memcmp(at_, literal, N - 1) != 0) return false;
    at_ += N - 1;
    return true;
  }

  // Printable ASCII that stands for itself inside a JSON string.
  static bool plain(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
  }

  bool string(std::string& out) {
    if (!take("\"")) return false;
    const char* p = at_;
    while (p != end_ && plain(*p)) ++p;
    if (p != end_ && *p == '"') {  // the usual id: taken as it is
      out.assign(at_, p);
      at_ = p + 1;
      return true;
    }
    return unusualString(out);
  }

  // A string with non-ASCII characters or the short escapes a JSON writer uses.
  bool unusualString(std::string& out) {
    const char* const start = at_;
    for (const char* from = at_; at_ != end_; ++at_) {
      const auto c = static_cast<unsigned char>(*at_);
      if (c == '"') {
        out.append(from, at_);
        return isValidUTF8(std::string_view(start, at_++));
      }
      if (c < 0x20) return false;
      if (c != '\\') continue;
      out.append(from, at_);
      if (++at_ == end_) return false;
      static constexpr std::string_view kEscaped = "\"\\/bfnrt", kMeaning = "\"\\/\b\f\n\r\t";
      const std::size_t k = kEscaped.find(*at_);
      if (k == std::string_view::npos) return false;  // \u and the rest: the general parser's
      out += kMeaning[k];
      from = at_ + 1;
    }
    return false;
  }

  const char* at_;
  const char* end_;
};

// Whether `id` goes into the file as it is: well-formed UTF-8 without a byte that JSON escapes.
bool writtenAsIs(std::string_view id) {
  bool ascii = true;
  for (const char ch : id) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == '"' || c == '\\') return false;
    ascii = ascii && c < 0x80;
  }
  return ascii || isValidUTF8(id);
}

}  // namespace

std::string ShareStatesFile::encode(const ShareStateModel::Set& states) {
  std::string out;
  out.reserve(states.size() * 64 + 2);
  out += '[';
  bool first = true;
  for (const ShareStateModel& model : states) {
    if (!first) out += ',';
    first = false;
    out += "{\"id\":";
    if (writtenAsIs(model.id)) {
      out += '"';
      out += model.id;
      out += '"';
    } else {
      // File names need not be UTF-8; JSON text must be.
      out += json(model.id).dump(-1, ' ', false, json::error_handler_t::replace);
    }
    out += ",\"state\":\"";
    out += rawValue(model.state);
    out += "\"}";
  }
  out += ']';
  return out;
}

Result<ShareStateModel::Set> ShareStatesFile::decode(std::string_view text) {
  // The files this store writes take the short way; any other text the general one.
  if (auto states = CompactReader(text).read()) return std::move(*states);
  return decodeAnyForm(text);
}

Result<ShareStateModel::Set> ShareStatesFile::decodeAnyForm(std::string_view text) {
  StatesReader reader;
  bool parsed = false;
  try {
    parsed = json::sax_parse(text.begin(), text.end(), &reader);
  } catch (const std::bad_alloc&) {
    throw;  // a valid file may not fit: that says nothing about its content
  } catch (const std::exception& e) {
    return DecodingError(DecodingError::Kind::dataCorrupted, {},
                         std::string("The given data was not valid JSON. (") + e.what() + ")");
  }
  if (!parsed || reader.failure) {
    if (reader.failure) return *reader.failure;
    return DecodingError(DecodingError::Kind::dataCorrupted, {},
                         "The given data was not valid JSON.");
  }
  return std::move(reader.states);
}

Result<ShareStateModel::Set> ShareStatesFile::read() const {
  const std::string action = "Cannot read the states file \"" + path_.string() + "\"";
  // Non-blocking, so that a FIFO put in the file's place cannot hold the caller.
  FileDescriptor fd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return fileError(errno, path_, action);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return fileError(errno, path_, action);
  if (!S_ISREG(st.st_mode)) return fileError(EINVAL, path_, action + " (not a regular file)");
  // The states only grow: a valid file of any size is read in full, as long as it and its
  // states fit in memory.
  try {
    // One byte more than the file, so that its end is seen without growing the buffer; not
    // zeroed, since the read writes it all.
    std::size_t capacity = static_cast<std::size_t>(st.st_size) + 1;
    auto text = std::make_unique_for_overwrite<char[]>(capacity);
    std::size_t filled = 0;
    for (;;) {
      // The file may have grown since fstat: read on.
      if (filled == capacity) {
        auto larger = std::make_unique_for_overwrite<char[]>(capacity * 2);
        std::memcpy(larger.get(), text.get(), filled);
        text = std::move(larger);
        capacity *= 2;
      }
      const ssize_t n = ::read(fd.get(), text.get() + filled, capacity - filled);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fileError(errno, path_, action);
      }
      if (n == 0) break;
      filled += static_cast<std::size_t>(n);
    }
    return decode(std::string_view(text.get(), filled));
  } catch (const std::bad_alloc&) {
    return fileError(ENOMEM, path_, action + " (it does not fit in memory)");
  } catch (const std::length_error&) {
    return fileError(ENOMEM, path_, action + " (it does not fit in memory)");
  }
}

bool ShareStatesFile::contentWasNotRead(const Error& error) {
  // Not a regular file (EINVAL) and content that does not decode say what the file is; a
  // file that is missing now (ENOENT) holds nothing to keep.
  const FileError* failure = error.as<FileError>();
  return failure && failure->code != EINVAL && failure->code != ENOENT;
}

std::string ShareStatesFile::temporaryPrefix() const {
  return "." + path_.filename().string() + "-";
}

Result<void> ShareStatesFile::write(const ShareStateModel::Set& states) const {
  const std::string data = encode(states);
  // A temporary file is locked while it is written; another process's `removeLeftovers` that
  // takes it in the instant before the lock makes the rename fail: then write it again.
  Result<void> written = writeOnce(data);
  if (!written && written.error().is<FileError>() &&
      written.error().as<FileError>()->code == ENOENT && fs::is_directory(folder())) {
    written = writeOnce(data);
  }
  return written;
}

fs::path ShareStatesFile::folder() const {
  return path_.parent_path().empty() ? fs::path(".") : path_.parent_path();
}

Result<void> ShareStatesFile::writeOnce(const std::string& data) const {
  const std::string action = "Cannot write the states file \"" + path_.string() + "\"";
  const fs::path dir = folder();
  std::string temporary = (dir / (temporaryPrefix() + "XXXXXX")).string();
  FileDescriptor fd(::mkostemp(temporary.data(), O_CLOEXEC));
  if (!fd) return fileError(errno, path_, action);
  auto failed = [&](int code) {
    fd.reset();
    ::unlink(temporary.c_str());
    return fileError(code, path_, action);
  };
  // Held until the file has its name, so that no cleaner takes it for a killed writer's.
  if (::flock(fd.get(), LOCK_EX) != 0) return failed(errno);
  // mkostemp makes the file private; the states file is an ordinary user file.
  if (::fchmod(fd.get(), 0644) != 0) return failed(errno);
  for (std::size_t written = 0; written < data.size();) {
    const ssize_t n = ::write(fd.get(), data.data() + written, data.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return failed(errno);
    }
    written += static_cast<std::size_t>(n);
  }
  // On disk before it takes the file's name: after a crash the name holds old or new content,
  // never a file whose blocks were not written yet.
  if (::fsync(fd.get()) != 0) return failed(errno);
  if (::rename(temporary.c_str(), path_.c_str()) != 0) return failed(errno);
  fd.reset();  // the data is on disk: a failed close changes nothing
  // Makes the rename itself durable; its failure does not undo the save.
  if (FileDescriptor folderFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); folderFd) {
    ::fsync(folderFd.get());
  }
  return {};
}

void ShareStatesFile::removeLeftovers() const {
  const std::string prefix = temporaryPrefix();
  std::error_code ec;
  fs::directory_iterator it(folder(), ec);
  if (ec) return;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path& candidate = it->path();
    const std::string name = candidate.filename().string();
    // mkostemp's names: the prefix and six characters.
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) continue;
    FileDescriptor fd(::open(candidate.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // A writer holds its lock until the rename; the kernel drops the lock of a killed one.
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
    // A writer that finished meanwhile renamed this file away, and its name may be a new
    // writer's by now: only the file that was locked goes.
    struct stat named {};
    if (::lstat(candidate.c_str(), &named) != 0 || named.st_dev != st.st_dev ||
        named.st_ino != st.st_ino) {
      continue;
    }
    ::unlink(candidate.c_str());
  }
}

}  // namespace lumo
