#include "DevService.h"

#include <strings.h>

#include <cstdlib>
#include <future>
#include <random>

#include "lumo/platform/HttpSession.h"

namespace lumo::test {
namespace {

// `method` on `url` with `body` and header fields `headers`.
Reply send(const std::string& method, const std::string& url,
           const std::optional<std::string>& body,
           const std::map<std::string, std::string>& headers) {
  static const auto session = HttpSession::make(HttpSessionConfiguration{});
  const std::optional<Url> parsed = Url::parse(url);
  if (!parsed) return {0, {}, {}, Error::transport(kURLErrorDomain, -1000, "bad URL " + url)};
  HttpRequest request(*parsed, method);
  if (body) request.body = Bytes(body->begin(), body->end());
  for (const auto& [field, value] : headers) request.setValue(value, field);
  std::promise<Reply> promise;
  auto task = session->dataTask(std::move(request), [&](auto response, auto bytes, auto error) {
    promise.set_value({response ? response->statusCode : 0,
                       response ? response->headerFields : decltype(Reply::headers){},
                       bytes.value_or(Bytes{}), std::move(error)});
  });
  task->resume();
  return promise.get_future().get();
}

std::string randomHex(int digits) {
  std::string out;
  for (std::random_device random; digits-- > 0;) out += "0123456789abcdef"[random() % 16];
  return out;
}

}  // namespace

std::optional<std::string> Reply::header(const std::string& name) const {
  for (const auto& [field, value] : headers)
    if (::strcasecmp(field.c_str(), name.c_str()) == 0) return value;
  return std::nullopt;
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
                       std::map<std::string, std::string> headers) const {
  if (body) headers.emplace("Content-Type", "application/json");
  return send(method, pathOrUrl.starts_with("http") ? pathOrUrl : apiBase + pathOrUrl,
              body ? std::optional(body->dump()) : std::nullopt, headers);
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
  std::string form;
  for (const auto& [name, value] : fields.items()) {
    form += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
            value.get<std::string>() + "\r\n";
  }
  form += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + key +
          "\"\r\n\r\n" + std::string(bytes.begin(), bytes.end()) + "\r\n--" + boundary + "--\r\n";
  if (send("POST", post["url"], form,
           {{"Content-Type", "multipart/form-data; boundary=" + boundary}})
                  .status /
              100 !=
          2 ||
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

}  // namespace lumo::test
