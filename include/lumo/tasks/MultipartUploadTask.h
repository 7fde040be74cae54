#pragma once

#include <map>
#include <memory>
#include <string>

#include "lumo/Export.h"
#include "lumo/api/StartUploadResponse.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/platform/HttpTask.h"
#include "lumo/support/Result.h"
#include "lumo/tasks/UploadTaskComponents.h"

namespace lumo {

// The storage post of one file upload, used by `UploadTask` once "upload/start" has answered:
// the file goes, without the service's token, to the presigned post's address as a multipart
// form holding the presigned fields and then the file (see `MultipartFormData`).
//
//   MultipartUploadTask multipart(components, startResponse);
//   Result<std::shared_ptr<HttpTask>> transfer = multipart.upload(uploadTask);
//   // progress and the end of the transfer reach `uploadTask` on the main queue
//
// The six text fields are "content-type" (the components' content type), "policy",
// "signature", "acl", "AWSAccessKeyId" (from the presigned fields) and "key" (the answer's
// top-level key, not the presigned fields' own). The file part is named "file", its file name
// is the remote name (the last path component of the upload URL), and its Content-Type is the
// components' content type.
//
// The file is not read into memory: the body streams from disk between a small prefix and
// suffix, with the exact total as Content-Length, so memory stays bounded for files of any
// size. The request times out after 60 seconds without progress.
//
// A short-lived object: make one per file, call `upload` once (on the main queue), drop it; the
// transfer and its session live on without it.
class LUMO_API MultipartUploadTask {
 public:
  MultipartUploadTask(UploadTaskComponents components, StartUploadResponse response);

  const UploadTaskComponents& components() const { return components_; }
  const StartUploadResponse& response() const { return response_; }

  // The text fields of the form, in the order they are written.
  std::map<std::string, std::string> formFields() const;

  // Starts the post on a new session whose delegate is `delegate` (held weakly) and whose
  // callbacks run on the main queue, and returns the running transfer.
  //
  // Fails, before any session is made and without sending anything, when:
  // - the presigned post's address is not a URL: "NSURLErrorDomain" -1000 (bad URL);
  // - the local file cannot be opened for reading: "NSCocoaErrorDomain" 260 (no such file),
  //   257 (no permission) or 256 (anything else, a folder included).
  Result<std::shared_ptr<HttpTask>> upload(std::weak_ptr<HttpSessionDelegate> delegate) const;

 private:
  UploadTaskComponents components_;
  StartUploadResponse response_;
};

}  // namespace lumo
