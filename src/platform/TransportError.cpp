#include "TransportError.h"

#include <string>
#include <string_view>

#include "HeaderFields.h"

namespace lumo::detail {

// The platform's code and sentence for a libcurl failure; libcurl's own explanation follows
// in parentheses.
Error transportError(CURLcode code, const char* detail) {
  int urlCode = URLErrorCode::kUnknown;
  const char* sentence = "An unknown error occurred.";
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
      urlCode = URLErrorCode::kTimedOut;
      sentence = "The request timed out.";
      break;
    case CURLE_COULDNT_CONNECT:
      urlCode = URLErrorCode::kCannotConnectToHost;
      sentence = "Could not connect to the server.";
      break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      urlCode = URLErrorCode::kCannotFindHost;
      sentence = "A server with the specified hostname could not be found.";
      break;
    case CURLE_URL_MALFORMAT:
      urlCode = URLErrorCode::kBadURL;
      sentence = "bad URL";
      break;
    case CURLE_UNSUPPORTED_PROTOCOL:
      urlCode = URLErrorCode::kUnsupportedURL;
      sentence = "unsupported URL";
      break;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      urlCode = URLErrorCode::kNetworkConnectionLost;
      sentence = "The network connection was lost.";
      break;
    case CURLE_TOO_MANY_REDIRECTS:
      urlCode = -1007;  // NSURLErrorHTTPTooManyRedirects
      sentence = "too many HTTP redirects";
      break;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
      urlCode = URLErrorCode::kCannotParseResponse;
      sentence = "cannot parse response";
      break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
      urlCode = -1200;  // NSURLErrorSecureConnectionFailed
      sentence = "An SSL error has occurred and a secure connection to the server cannot be made.";
      break;
    default:
      break;
  }
  std::string message = sentence;
  const std::string explanation = (detail != nullptr && *detail != '\0')
                                      ? std::string(trim(detail))
                                      : std::string(curl_easy_strerror(code));
  message += " (" + explanation + ")";
  return Error::transport(kURLErrorDomain, urlCode, std::move(message));
}

}  // namespace lumo::detail
