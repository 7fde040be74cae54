#pragma once

#include <string>
#include <vector>

#include "lumo/Export.h"

namespace lumo {

// Why a JSON document did not decode into a model, in the manner of the desktop's decoding
// errors: which case it is, where in the document it happened (the coding path: the keys and
// array indices from the top), and what was found.
//
//   keyNotFound    a required key is missing ("email")
//   valueNotFound  a required value is null
//   typeMismatch   a value has the wrong JSON type (a string or a boolean where a number belongs)
//   dataCorrupted  the text is not JSON, or a number does not fit its type (a fraction or a
//                  negative number where an unsigned integer belongs)
//
// `description()` is the full text that names the key or type and the coding path, the text that
// `APIError::schemaMismatch` carries; `localizedDescription()` is the short text for people.
class LUMO_API DecodingError {
 public:
  enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };

  // `typeName` is the expected type ("Int64", "UInt64", "String", "Bool", "Array<String>",
  // "Dictionary<String, Any>"); `key` is the missing key. Both are empty where they do not apply.
  DecodingError(Kind kind, std::vector<std::string> codingPath, std::string debugDescription,
                std::string typeName = {}, std::string key = {});

  Kind kind() const { return kind_; }
  // Keys and array entries ("Index 0") leading to the failing value; the missing key itself is
  // not part of it.
  const std::vector<std::string>& codingPath() const { return codingPath_; }
  const std::string& debugDescription() const { return debugDescription_; }
  const std::string& typeName() const { return typeName_; }
  const std::string& key() const { return key_; }

  // The full description, for example
  //   keyNotFound(key: "email", codingPath: [], debugDescription: "No value associated with
  //   key \"email\".")
  std::string description() const;

  // The short text: "The data couldn't be read because it is missing." or "... because it
  // isn't in the correct format.".
  std::string localizedDescription() const;

  friend bool operator==(const DecodingError&, const DecodingError&) = default;

 private:
  Kind kind_;
  std::vector<std::string> codingPath_;
  std::string debugDescription_;
  std::string typeName_;
  std::string key_;
};

inline std::string localizedDescription(const DecodingError& e) {
  return e.localizedDescription();
}

}  // namespace lumo
