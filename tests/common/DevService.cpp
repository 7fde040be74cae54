#include "DevService.h"

#include <strings.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <random>

#include "lumo/platform/HttpSession.h"

namespace lumo::test {
namespace {

Reply perform(HttpRequest request) {
  static const auto session = HttpSession::make(HttpSessionConfiguration{});
  std::promise<Reply> promise;
  session
      ->dataTask(
          std::move(request),
          [&](std::optional<HttpResponse> response, std::optional<Bytes> body,
              std::optional<Error> error) {
            promise.set_value({response ? response->statusCode : 0,
                               response ? response->headerFields : decltype(Reply::headers){},
                               body.value_or(Bytes{}), std::move(error)});
          })
      ->resume();
  return promise.get_future().get();
}

std::string randomHex(int digits) {
  std::random_device random;
  std::string out;
  while (digits-- > 0) out += "0123456789abcdef"[random() % 16];
  return out;
}

}  // namespace

std::optional<std::string> Reply::header(const std::string& name) const {
  for (const auto& [field, value] : headers) {
    if (::strcasecmp(field.c_str(), name.c_str()) == 0) return value;
  }
  return std::nullopt;
}

nlohmann::json Reply::json() const {
  return nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
}

const DevService* DevService::get(std::string* whyNot) {
  auto env = [](const char* name) {
    return std::string(std::getenv(name) ? std::getenv(name) : "");
  };
  static const DevService service{env("LUMO_API_BASE"), env("LUMO_SHARE_BASE"),
                                  env("LUMO_STORAGE_URL"), env("LUMO_DEV_TOKEN")};
  static const bool up =
      !service.token.empty() && service.call("GET", "/__dev__/health").status == 200;
  if (!up && whyNot) {
    *whyNot = "the reference service is not reachable (LUMO_API_BASE=\"" + service.apiBase +
              "\"); start it first with: eval \"$(scripts/devstack start)\"";
  }
  return up ? &service : nullptr;
}

Reply DevService::call(const std::string& method, const std::string& pathOrUrl,
                       const std::optional<nlohmann::json>& body,
                       const std::map<std::string, std::string>& headers) const {
  const std::string text = pathOrUrl.rfind("http", 0) == 0 ? pathOrUrl : apiBase + pathOrUrl;
  const std::optional<Url> url = Url::parse(text);
  if (!url) return {0, {}, {}, Error::transport(kURLErrorDomain, -1000, "bad URL " + text)};
  HttpRequest request(*url, method);
  if (body) {
    const std::string dumped = body->dump();
    request.body = Bytes(dumped.begin(), dumped.end());
    request.setValue("application/json", "Content-Type");
  }
  for (const auto& [field, value] : headers) request.setValue(value, field);
  return perform(std::move(request));
}

bool DevService::fault(nlohmann::json fault) const {
  if (fault.contains("body") && !fault["body"].is_string()) fault["body"] = fault["body"].dump();
  return call("POST", "/__dev__/faults", fault).status == 200;
}

bool DevService::overrideAccount(const std::string& token, nlohmann::json values) const {
  values["token"] = token;
  return call("POST", "/__dev__/accounts", values).status == 200;
}

std::vector<nlohmann::json> DevService::requests(const std::string& pathPrefix) const {
  const nlohmann::json log = call("GET", "/__dev__/requests?path_prefix=" + pathPrefix).json();
  return log.is_object() ? log.value("requests", std::vector<nlohmann::json>{})
                         : std::vector<nlohmann::json>{};
}

std::vector<nlohmann::json> DevService::storagePostsFor(const std::string& key,
                                                        double since) const {
  std::vector<nlohmann::json> out;
  for (const auto& post : requests("/storage")) {
    const Bytes raw = decodeBase64(post.value("body_b64", ""));
    const std::string field = "name=\"key\"\r\n\r\n" + key + "\r\n";
    if (post["time"] >= since &&
        std::string(raw.begin(), raw.end()).find(field) != std::string::npos) {
      out.push_back(post);
    }
  }
  return out;
}

std::optional<std::string> DevService::store(const Bytes& bytes, const std::string& extension,
                                             const std::string& contentType) const {
  const std::string key = randomHex(32) + "." + extension, boundary = "lumo-" + randomHex(16);
  const std::map<std::string, std::string> auth{{"Authorization", "ApiKey " + token}};
  const nlohmann::json post =
      call("POST", "/api/v1/upload/start/",
           {{{"content_type", contentType}, {"file_size", bytes.size()}, {"key", key}}}, auth)
          .json()
          .value("presigned_post", nlohmann::json::object());
  if (!post.contains("url")) return std::nullopt;
  nlohmann::json fields = post["fields"];
  fields["Content-Type"] = contentType;
  std::string head;
  for (const auto& [name, value] : fields.items()) {
    head += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
            value.get<std::string>() + "\r\n";
  }
  head += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + key +
          "\"\r\n\r\n" + std::string(bytes.begin(), bytes.end()) + "\r\n--" + boundary + "--\r\n";
  HttpRequest request(*Url::parse(post["url"].get<std::string>()), "POST");
  request.setValue("multipart/form-data; boundary=" + boundary, "Content-Type");
  request.body = Bytes(head.begin(), head.end());
  if (perform(std::move(request)).status / 100 != 2 ||
      call("POST", "/api/v1/upload/complete/", {{{"key", key}}}, auth).status != 200) {
    return std::nullopt;
  }
  return shareBase + "/" + key;
}

double nowForLog() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count() - 0.01;
}

Bytes decodeBase64(const std::string& text) {
  static const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Bytes out;
  std::uint32_t acc = 0;
  int bits = 0;
  for (std::size_t i = 0, v; i < text.size() && text[i] != '='; ++i) {
    if ((v = alphabet.find(text[i])) == std::string::npos) continue;
    acc = ((acc << 6) | static_cast<std::uint32_t>(v)) & 0xffffff;
    if ((bits += 6) >= 8) out.push_back(static_cast<std::uint8_t>((acc >> (bits -= 8)) & 0xff));
  }
  return out;
}

std::string makeTempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

}  // namespace lumo::test
