// The service's JSON bodies, the error texts and the classification of an exchange's end.

#include <gtest/gtest.h>

#include "ExchangeOutcome.h"
#include "lumo/api/CompleteUploadRequest.h"
#include "lumo/api/CompleteUploadResponse.h"
#include "lumo/api/DecodingError.h"
#include "lumo/api/DeleteUploadRequest.h"
#include "lumo/api/Empty.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/HTTPResponse.h"
#include "lumo/api/JSONDecoder.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/api/ModelErrorResponse.h"
#include "lumo/api/ProfileResponse.h"
#include "lumo/api/StartUploadRequest.h"
#include "lumo/api/StartUploadResponse.h"

namespace lumo {
namespace {

using nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

const json kProfile = json::parse(R"({
    "email": "ann@example.com", "is_active": true, "is_email_confirmed": true,
    "is_lumien": false, "is_paid": true, "can_upload": true,
    "max_length_in_seconds": 300, "max_content_size": 4294967296,
    "max_daily_files_count": 1000, "max_daily_files_quota_in_bytes": 18446744073709551615,
    "max_monthly_files_quota_in_bytes": 1099511627776, "remaining_daily_items_count": -1,
    "remaining_daily_quota_in_bytes": 0, "remaining_monthly_quota_in_bytes": 7})");

// The decoding failure of `value` as T; fails the test when it decodes.
template <typename T>
DecodingError failure(const json& value) {
  const Result<T> r = JSONDecoder().decode<T>(bytes(value.dump()));
  EXPECT_TRUE(!r.ok() && r.error().template is<DecodingError>()) << value.dump();
  return r.ok() ? DecodingError(DecodingError::Kind::dataCorrupted, {}, "decoded")
                : *r.error().template as<DecodingError>();
}

TEST(ProfileResponseTest, DecodesEveryKeyAtItsFullRangeAndRefusesAnyOtherValue) {
  Result<ProfileResponse> p = JSONDecoder().decode<ProfileResponse>(bytes(kProfile.dump()));
  ASSERT_TRUE(p.ok()) << p.error().localizedDescription();
  EXPECT_EQ(p->encode(), kProfile);  // the same fourteen keys and values, read and written

  using K = DecodingError::Kind;
  std::vector<std::tuple<std::string, json, K>> cases = {
      // nlohmann would read these silently with get<>().
      {"max_daily_files_count", true, K::typeMismatch},
      {"max_daily_files_count", 1.5, K::dataCorrupted},
      {"max_content_size", -1, K::dataCorrupted},
      {"max_monthly_files_quota_in_bytes", 2.5e19, K::dataCorrupted},
      {"max_length_in_seconds", "300", K::typeMismatch},
      {"email", nullptr, K::valueNotFound}};
  for (const auto& [key, value] : kProfile.items())
    cases.emplace_back(key, json::value_t::discarded, K::keyNotFound);
  for (const auto& [key, value, kind] : cases) {
    json body = kProfile;
    value.is_discarded() ? void(body.erase(key)) : void(body[key] = value);
    const DecodingError e = failure<ProfileResponse>(body);
    EXPECT_EQ(e.kind(), kind) << key << " = " << value.dump();
    EXPECT_NE(e.description().find('"' + key + '"'), std::string::npos) << e.description();
  }
  json decimals = kProfile;
  decimals["max_content_size"] = 1e3;
  EXPECT_EQ(JSONDecoder().decode<ProfileResponse>(bytes(decimals.dump()))->maxContentSize, 1000u);
}

TEST(WireModelsTest, RequestsEncodeExactlyTheirKeysAndAnswersNameTheirFailures) {
  EXPECT_EQ((StartUploadRequest{"image/png", 1024, "k"}.encode()),
            json({{"content_type", "image/png"}, {"file_size", 1024}, {"key", "k"}}));
  EXPECT_EQ(CompleteUploadRequest{"k"}.encode(), json({{"key", "k"}}));
  EXPECT_EQ(DeleteUploadRequest{"k"}.encode(), json({{"key", "k"}}));
  EXPECT_TRUE(JSONEncoder()
                  .encode(StartUploadRequest{"image/png", 1, "bad\xff"})
                  .error()
                  .is<EncodingError>());

  json start = json::parse(R"({"key": "k.png", "presigned_post": {
      "url": "http://127.0.0.1:9/storage", "fields": {"AWSAccessKeyId": "A", "acl": "public-read",
      "key": "k.png", "policy": "p", "signature": "s"}}})");
  EXPECT_EQ(JSONDecoder().decode<StartUploadResponse>(bytes(start.dump()))->uploadUrl()->port(), 9);
  start["presigned_post"]["fields"].erase("signature");
  EXPECT_EQ(failure<StartUploadResponse>(start).description(),
            "keyNotFound(key: \"signature\", codingPath: [\"presigned_post\", \"fields\"], "
            "debugDescription: \"No value associated with key \\\"signature\\\".\")");
  EXPECT_EQ(failure<ModelErrorResponse>({{"errors", {"a", 2}}}).codingPath(),
            (std::vector<std::string>{"errors", "Index 1"}));

  // Uploads and deletes complete on any JSON document, never on other bytes.
  for (const char* text : {"{}", "[]", "\"x\"", "null", "3", "{\"a\": {\"b\": []}}"})
    EXPECT_TRUE(JSONDecoder().decode<CompleteUploadResponse>(bytes(text)).ok()) << text;
  for (const char* text : {"", "<html>", "{\"errors\": [\"injected fau", "\xff\xfe"})
    EXPECT_EQ(JSONDecoder().decode<Empty>(bytes(text)).error().as<DecodingError>()->kind(),
              DecodingError::Kind::dataCorrupted)
        << text;
  // Deep nesting is refused before it can exhaust the stack; brackets inside strings do not count.
  const std::string deep = "{\"a\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(JSONDecoder::parse(bytes(deep)).ok());
  EXPECT_TRUE(JSONDecoder::parse(bytes("{\"a\": \"" + std::string(10000, '[') + "\"}")).ok());
}

TEST(ErrorTextTest, DescriptionsFollowTheBody) {
  const std::pair<Error, std::string> cases[] = {
      {HTTPError::cancelledTask(), "Request is cancelled"},
      {HTTPError::invalidResponse(), "Invalid response"},
      {HTTPError::badResponse(500, std::nullopt), "Bad response"},
      {HTTPError::badResponse(401, bytes(R"({"error": "Bad key"})")), "Bad key"},
      {HTTPError::badResponse(500, bytes(R"(["error"])")), "Bad response"},
      {HTTPError::badResponse(400, bytes(R"({"error": 1})")), "{\n  \"error\": 1\n}"}};
  for (const auto& [error, text] : cases) EXPECT_EQ(error.localizedDescription(), text);
}

// The end of an exchange, as the requester and the image downloader both classify it.
TEST(ExchangeOutcomeTest, TwoHundredsSucceedAndEveryOtherEndIsItsOwnFailure) {
  auto classify = [](std::optional<HttpResponse> response, std::optional<Error> error) {
    return api_detail::classifyExchange<HTTPError>(
        response, bytes("b"), std::move(error), [](std::int64_t status, std::optional<Bytes> body) {
          return Result<HTTPResponse>(HTTPResponse{status, std::move(body)});
        });
  };
  for (int status : {199, 200, 204, 299, 300, 401, 404, 500}) {
    Result<HTTPResponse> r =
        classify(HttpResponse{*Url::parse("http://a/"), status, {}}, std::nullopt);
    if (status >= 200 && status <= 299) {
      EXPECT_TRUE(r.ok() && r->statusCode == status && r->data == bytes("b")) << status;
    } else {
      EXPECT_EQ(r.error(), Error(HTTPError::badResponse(status, bytes("b")))) << status;
    }
  }
  EXPECT_EQ(classify(std::nullopt, std::nullopt).error(), Error(HTTPError::invalidResponse()));
  EXPECT_EQ(classify(std::nullopt, Error::transport(kURLErrorDomain, -999, "")).error(),
            Error(HTTPError::cancelledTask()));
  const Error refused = Error::transport(kURLErrorDomain, -1004, "refused");
  EXPECT_EQ(classify(std::nullopt, refused).error(), refused);
}

}  // namespace
}  // namespace lumo
