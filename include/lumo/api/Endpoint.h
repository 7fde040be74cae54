#pragma once

#include <string>
#include <utility>

#include "lumo/Export.h"

namespace lumo {

// An endpoint of the service's API, named by its path under "/api/v1/".
//
//   Endpoint::start()     "upload/start"      POST StartUploadRequest → StartUploadResponse
//   Endpoint::complete()  "upload/complete"   POST CompleteUploadRequest → CompleteUploadResponse
//   Endpoint::delete_()   "upload/delete"     POST DeleteUploadRequest → DeleteUploadResponse
//   Endpoint::me()        "profile/me"        GET → ProfileResponse
//   Endpoint::custom(p)   p
class LUMO_API Endpoint {
 public:
  enum class Kind { custom, start, complete, delete_, me };

  static Endpoint custom(std::string path) { return Endpoint(Kind::custom, std::move(path)); }
  static Endpoint start() { return Endpoint(Kind::start, "upload/start"); }
  static Endpoint complete() { return Endpoint(Kind::complete, "upload/complete"); }
  // The trailing underscore only avoids the C++ keyword.
  static Endpoint delete_() { return Endpoint(Kind::delete_, "upload/delete"); }
  static Endpoint me() { return Endpoint(Kind::me, "profile/me"); }

  Kind kind() const { return kind_; }
  // The path without leading or trailing slash, e.g. "upload/start".
  const std::string& path() const { return path_; }

  friend bool operator==(const Endpoint&, const Endpoint&) = default;

 private:
  Endpoint(Kind kind, std::string path) : kind_(kind), path_(std::move(path)) {}

  Kind kind_;
  std::string path_;
};

}  // namespace lumo
