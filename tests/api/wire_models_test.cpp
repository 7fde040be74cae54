// Decoding and encoding of the service's JSON bodies, and the error texts of the HTTP layer.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lumo/api/APIError.h"
#include "lumo/api/CompleteUploadResponse.h"
#include "lumo/api/DecodingError.h"
#include "lumo/api/Empty.h"
#include "lumo/api/HTTPError.h"
#include "lumo/api/HTTPMethod.h"
#include "lumo/api/JSONDecoder.h"
#include "lumo/api/JSONEncoder.h"
#include "lumo/api/ModelErrorResponse.h"
#include "lumo/api/ProfileResponse.h"
#include "lumo/api/StartUploadRequest.h"
#include "lumo/api/StartUploadResponse.h"

namespace lumo {
namespace {

std::vector<std::uint8_t> bytes(const std::string& text) {
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

nlohmann::json profileJSON() {
  return nlohmann::json::parse(R"({
    "email": "ann@example.com", "is_active": true, "is_email_confirmed": true,
    "is_lumien": false, "is_paid": true, "can_upload": true,
    "max_length_in_seconds": 300, "max_content_size": 4294967296,
    "max_daily_files_count": 1000, "max_daily_files_quota_in_bytes": 18446744073709551615,
    "max_monthly_files_quota_in_bytes": 1099511627776, "remaining_daily_items_count": -1,
    "remaining_daily_quota_in_bytes": 0, "remaining_monthly_quota_in_bytes": 7})");
}

template <typename T>
Result<T> decode(const nlohmann::json& json) {
  return JSONDecoder().decode<T>(bytes(json.dump()));
}

// The decoding failure of `json` as T; fails the test when it decodes.
template <typename T>
DecodingError failure(const nlohmann::json& json) {
  Result<T> r = decode<T>(json);
  EXPECT_FALSE(r.ok()) << json.dump();
  if (r.ok()) return DecodingError(DecodingError::Kind::dataCorrupted, {}, "decoded");
  const Error& error = r.error();
  EXPECT_TRUE(error.is<DecodingError>());
  return *error.as<DecodingError>();
}

TEST(ProfileResponseTest, DecodesEveryKeyAtItsFullRange) {
  Result<ProfileResponse> p = decode<ProfileResponse>(profileJSON());
  ASSERT_TRUE(p.ok()) << p.error().localizedDescription();
  EXPECT_EQ(p->email, "ann@example.com");
  EXPECT_TRUE(p->isPaid);
  EXPECT_FALSE(p->isLumien);
  EXPECT_EQ(p->maxContentSize, 4294967296u);
  EXPECT_EQ(p->maxDailyFilesQuotaInBytes, 18446744073709551615u);
  EXPECT_EQ(p->remainingDailyItemsCount, -1);
  EXPECT_EQ(p->remainingMonthlyQuotaInBytes, 7u);
  // Encoding gives back the same fourteen keys.
  EXPECT_EQ(p->encode(), profileJSON());
}

TEST(ProfileResponseTest, ValuesOfTheWrongJSONTypeAreRefused) {
  struct Case {
    const char* key;
    nlohmann::json value;
    DecodingError::Kind kind;
  };
  const Case cases[] = {
      // nlohmann would read these silently with get<>().
      {"max_daily_files_count", true, DecodingError::Kind::typeMismatch},
      {"max_daily_files_count", 1.5, DecodingError::Kind::dataCorrupted},
      {"max_content_size", -1, DecodingError::Kind::dataCorrupted},
      {"remaining_daily_quota_in_bytes", -5, DecodingError::Kind::dataCorrupted},
      {"max_monthly_files_quota_in_bytes", 2.5e19, DecodingError::Kind::dataCorrupted},
      {"max_length_in_seconds", 9.3e18, DecodingError::Kind::dataCorrupted},
      {"max_length_in_seconds", "300", DecodingError::Kind::typeMismatch},
      {"is_paid", 1, DecodingError::Kind::typeMismatch},
      {"email", 42, DecodingError::Kind::typeMismatch},
      {"email", nullptr, DecodingError::Kind::valueNotFound},
      {"can_upload", nlohmann::json::array(), DecodingError::Kind::typeMismatch},
  };
  for (const Case& c : cases) {
    nlohmann::json json = profileJSON();
    json[c.key] = c.value;
    DecodingError e = failure<ProfileResponse>(json);
    EXPECT_EQ(e.kind(), c.kind) << c.key << " = " << c.value.dump();
    EXPECT_EQ(e.codingPath(), std::vector<std::string>{c.key}) << e.description();
  }
}

TEST(ProfileResponseTest, IntegersWrittenAsDecimalsAreIntegers) {
  nlohmann::json json = profileJSON();
  json["max_daily_files_count"] = 1000.0;
  json["max_content_size"] = 1e3;
  Result<ProfileResponse> p = decode<ProfileResponse>(json);
  ASSERT_TRUE(p.ok()) << p.error().localizedDescription();
  EXPECT_EQ(p->maxDailyFilesCount, 1000);
  EXPECT_EQ(p->maxContentSize, 1000u);
}

TEST(StartUploadResponseTest, NestedFailuresNameTheirCodingPath) {
  nlohmann::json json = nlohmann::json::parse(R"({"key": "k.png", "presigned_post": {
      "url": "http://127.0.0.1:9/storage", "fields": {"AWSAccessKeyId": "A", "acl": "public-read",
      "key": "k.png", "policy": "p", "signature": "s"}}})");
  Result<StartUploadResponse> ok = decode<StartUploadResponse>(json);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->presignedPost.fields.aWSAccessKeyId, "A");
  ASSERT_TRUE(ok->uploadUrl());
  EXPECT_EQ(ok->uploadUrl()->port(), 9);

  json["presigned_post"]["fields"].erase("signature");
  DecodingError e = failure<StartUploadResponse>(json);
  EXPECT_EQ(e.kind(), DecodingError::Kind::keyNotFound);
  EXPECT_EQ(e.codingPath(), (std::vector<std::string>{"presigned_post", "fields"}));
  EXPECT_EQ(e.description(),
            "keyNotFound(key: \"signature\", codingPath: [\"presigned_post\", \"fields\"], "
            "debugDescription: \"No value associated with key \\\"signature\\\".\")");

  json["presigned_post"] = "nope";
  EXPECT_EQ(failure<StartUploadResponse>(json).kind(), DecodingError::Kind::typeMismatch);
}

TEST(StartUploadResponseTest, UploadUrlIsAbsentForTextThatIsNotAURL) {
  StartUploadResponse r;
  r.presignedPost.url = "not a url";
  EXPECT_FALSE(r.uploadUrl());
}

TEST(StartUploadRequestTest, EncodesExactlyItsThreeKeys) {
  Result<std::vector<std::uint8_t>> body =
      JSONEncoder().encode(StartUploadRequest{"image/png", 1024, "k"});
  ASSERT_TRUE(body.ok());
  nlohmann::json json = nlohmann::json::parse(body->begin(), body->end());
  EXPECT_EQ(json,
            (nlohmann::json{{"content_type", "image/png"}, {"file_size", 1024}, {"key", "k"}}));
}

TEST(JSONEncoderTest, TextThatIsNotUTF8FailsInsteadOfThrowing) {
  Result<std::vector<std::uint8_t>> body =
      JSONEncoder().encode(StartUploadRequest{"image/png", 1, "bad\xff.png"});
  ASSERT_FALSE(body.ok());
  EXPECT_TRUE(body.error().is<EncodingError>());
}

TEST(EmptyTest, DecodesFromAnyJSONDocumentButNotFromGarbage) {
  for (const char* text : {"{}", "[]", "[1, 2]", "\"x\"", "null", "3", "{\"a\": {\"b\": []}}"}) {
    EXPECT_TRUE(JSONDecoder().decode<Empty>(bytes(text)).ok()) << text;
    EXPECT_TRUE(JSONDecoder().decode<CompleteUploadResponse>(bytes(text)).ok()) << text;
  }
  for (const char* text : {"", "<html>", "{\"errors\": [\"injected fau", "\xff\xfe"}) {
    Result<Empty> r = JSONDecoder().decode<Empty>(bytes(text));
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error().as<DecodingError>()->kind(), DecodingError::Kind::dataCorrupted);
  }
  EXPECT_EQ(Empty().encode(), nlohmann::json::object());
}

TEST(JSONDecoderTest, DeepNestingIsRefusedBeforeParsing) {
  std::string deep = "{\"a\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  Result<nlohmann::json> r = JSONDecoder::parse(bytes(deep));
  ASSERT_FALSE(r.ok());
  EXPECT_NE(r.error().as<DecodingError>()->debugDescription().find("Nesting"), std::string::npos);
  // Brackets inside strings do not count.
  std::string text = "{\"a\": \"" + std::string(10000, '[') + "\"}";
  EXPECT_TRUE(JSONDecoder::parse(bytes(text)).ok());
}

TEST(ModelErrorResponseTest, ErrorsKeyIsRequiredAndHoldsTexts) {
  Result<ModelErrorResponse> ok = decode<ModelErrorResponse>({{"errors", {"a", "b"}}});
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->errors, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(failure<ModelErrorResponse>(nlohmann::json::object()).kind(),
            DecodingError::Kind::keyNotFound);
  DecodingError e = failure<ModelErrorResponse>({{"errors", {"a", 2}}});
  EXPECT_EQ(e.codingPath(), (std::vector<std::string>{"errors", "Index 1"}));
  EXPECT_EQ(failure<ModelErrorResponse>({{"errors", "a"}}).kind(),
            DecodingError::Kind::typeMismatch);
}

TEST(HTTPMethodTest, RawValuesMatchExactly) {
  EXPECT_EQ(rawValue(HTTPMethod::delete_), "DELETE");
  EXPECT_EQ(rawValue(HTTPMethod::options), "OPTIONS");
  EXPECT_EQ(httpMethodFromRawValue("CONNECT"), HTTPMethod::connect);
  EXPECT_EQ(httpMethodFromRawValue("get"), std::nullopt);
  EXPECT_EQ(httpMethodFromRawValue("GET "), std::nullopt);
}

TEST(HTTPErrorTest, DescriptionsFollowTheBody) {
  EXPECT_EQ(localizedDescription(HTTPError::cancelledTask()), "Request is cancelled");
  EXPECT_EQ(localizedDescription(HTTPError::invalidResponse()), "Invalid response");
  EXPECT_EQ(localizedDescription(HTTPError::badResponse(500, std::nullopt)), "Bad response");
  EXPECT_EQ(localizedDescription(HTTPError::badResponse(401, bytes(R"({"error": "Bad key"})"))),
            "Bad key");
  EXPECT_EQ(localizedDescription(HTTPError::badResponse(500, bytes("<html></html>"))),
            "Bad response");
  EXPECT_EQ(localizedDescription(HTTPError::badResponse(500, bytes(R"(["error"])"))),
            "Bad response");
  EXPECT_EQ(localizedDescription(HTTPError::badResponse(500, bytes(""))), "Bad response");
  // "error" that is not text: the object, pretty-printed.
  const std::string pretty =
      localizedDescription(HTTPError::badResponse(400, bytes(R"({"error": 1, "x": "y"})")));
  EXPECT_EQ(nlohmann::json::parse(pretty), (nlohmann::json{{"error", 1}, {"x", "y"}}));
  EXPECT_NE(pretty.find('\n'), std::string::npos);
  // The error keeps status and body.
  Error e = HTTPError::badResponse(418, bytes("x"));
  ASSERT_TRUE(e.is<HTTPError>());
  EXPECT_EQ(e.as<HTTPError>()->statusCode(), 418);
  EXPECT_EQ(e.as<HTTPError>()->data(), bytes("x"));
}

TEST(APIErrorTest, DescriptionsCarryTheServiceTextsOrTheDecodingFailure) {
  EXPECT_EQ(localizedDescription(APIError::errors(ModelErrorResponse{{"one", "two"}})), "one\ntwo");
  Error e = APIError::schemaMismatch("keyNotFound(key: \"email\", ...)");
  EXPECT_NE(e.localizedDescription().find("keyNotFound(key: \"email\""), std::string::npos);
  EXPECT_EQ(e.as<APIError>()->kind(), APIError::Kind::schemaMismatch);
}

}  // namespace
}  // namespace lumo
