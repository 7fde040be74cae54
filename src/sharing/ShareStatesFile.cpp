#include "ShareStatesFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
    // File names need not be UTF-8; JSON text must be.
    out += json(model.id).dump(-1, ' ', false, json::error_handler_t::replace);
    out += ",\"state\":\"";
    out += rawValue(model.state);
    out += "\"}";
  }
  out += ']';
  return out;
}

Result<ShareStateModel::Set> ShareStatesFile::decode(std::string_view text) {
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
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t filled = 0;
    for (;;) {
      // The file may have grown since fstat: read on.
      if (filled == text.size()) text.resize(text.size() + 4096);
      const ssize_t n = ::read(fd.get(), text.data() + filled, text.size() - filled);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fileError(errno, path_, action);
      }
      if (n == 0) break;
      filled += static_cast<std::size_t>(n);
    }
    text.resize(filled);
    return decode(text);
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
