// The API client against the reference service: what leaves the machine, and how every outcome
// of an exchange reaches the caller.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/account/ProfileUpdater.h"
#include "lumo/account/UserAccountStore.h"
#include "lumo/account/UserAccountStoreError.h"
#include "lumo/api/API.h"
#include "lumo/api/CompleteUploadRequest.h"
#include "lumo/api/CompleteUploadResponse.h"
#include "lumo/api/DeleteUploadRequest.h"
#include "lumo/api/DeleteUploadResponse.h"
#include "lumo/api/Empty.h"
#include "lumo/api/HTTPRequester.h"
#include "lumo/api/ImageDownloader.h"
#include "lumo/api/ProfileResponse.h"
#include "lumo/api/StartUploadRequest.h"
#include "lumo/api/StartUploadResponse.h"
#include "lumo/registry/Resolver.h"
#include "lumo/support/NotificationCenter.h"

namespace lumo {
namespace {

using nlohmann::json;
using test::DevService;

// The account store reads the application's own defaults: give this process a folder of its own
// before anything opens them.
const std::string kConfigHome = [] {
  std::string dir = test::makeTempDir("lumo-api-test");
  ::setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
  return dir;
}();

// Waits for one result delivered on another thread, and counts deliveries.
template <typename T>
class Outcome {
 public:
  std::function<void(Result<T>)> completion() {
    return [this](Result<T> r) {
      std::lock_guard lock(mu_);
      ++calls_;
      if (!result_) result_.emplace(std::move(r));
      cv_.notify_all();
    };
  }
  // The first result; fails the test after 30 s.
  Result<T> get() {
    std::unique_lock lock(mu_);
    if (!cv_.wait_for(lock, std::chrono::seconds(30), [&] { return result_.has_value(); })) {
      ADD_FAILURE() << "no completion within 30 s";
      return Error::transport("test", 0, "no completion");
    }
    return *result_;
  }
  int calls() {
    std::lock_guard lock(mu_);
    return calls_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::optional<Result<T>> result_;
  int calls_ = 0;
};

class APIClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    dev_ = DevService::get(&whyNot);
    if (dev_ == nullptr) FAIL() << whyNot;
    test::installAccountServices().debug = true;
    store_ = std::dynamic_pointer_cast<UserAccountStore>(
        Resolver::resolveFromRoot<UserAccountStoreService>());
    ASSERT_TRUE(store_);
    store_->login(dev_->token);
    dev_->reset();
  }

  Result<ProfileResponse> profile(bool debug = false) {
    Outcome<ProfileResponse> out;
    API<Empty, ProfileResponse> api;
    api.setIsDebug(debug);
    api.get(Endpoint::me(), HTTPMethod::get, out.completion());
    return out.get();
  }

  // The profile read while `fault`, which must make the read fail, is queued for "profile/me".
  // The service is shared: another process's read or reset may take the fault first, and then
  // the read succeeds with the real profile. That is retried; a client that wrongly succeeds
  // still fails every time.
  Result<ProfileResponse> profileWithFault(json fault, bool debug = false) {
    fault["route"] = "profile/me";
    Result<ProfileResponse> r = Error::transport("test", 0, "not read");
    for (int attempt = 0; attempt < 3; ++attempt) {
      dev_->fault(fault);
      r = profile(debug);
      if (!r.ok()) break;
    }
    return r;
  }

  Result<CompleteUploadResponse> complete(const std::string& key) {
    Outcome<CompleteUploadResponse> out;
    API<CompleteUploadRequest, CompleteUploadResponse>().post(
        CompleteUploadRequest{key}, Endpoint::complete(), HTTPMethod::post, out.completion());
    return out.get();
  }

  static json profileBody(const DevService& dev) {
    test::Reply reply = dev.call("GET", "/api/v1/profile/me/", std::nullopt,
                                 {{"Authorization", "ApiKey " + dev.token}});
    return reply.json();
  }

  const DevService* dev_ = nullptr;
  std::shared_ptr<UserAccountStore> store_;
};

const APIError* apiError(const Result<ProfileResponse>& r) {
  return r.ok() ? nullptr : r.error().as<APIError>();
}

// For failure messages: a success has no error to describe.
template <typename T>
std::string describe(const Result<T>& r) {
  return r.ok() ? std::string("success") : r.error().localizedDescription();
}

// ---- what is sent ----

TEST_F(APIClientTest, ProfileIsReadWithTheExactURLMethodAndHeaderFields) {
  Result<ProfileResponse> p = profile();
  ASSERT_TRUE(p.ok()) << p.error().localizedDescription();
  EXPECT_EQ(p->email, profileBody(*dev_)["email"]);

  std::vector<json> log = dev_->requests("/api/");
  ASSERT_GE(log.size(), 1u);
  const json& r = log.front();
  EXPECT_EQ(r["method"], "GET");
  EXPECT_EQ(r["path"], "/api/v1/profile/me/");
  EXPECT_EQ(r["headers"]["authorization"], "ApiKey " + dev_->token);
  EXPECT_EQ(r["headers"]["content-type"], "application/json");
}

TEST_F(APIClientTest, PostsSendTheirJSONBodyToThePathWithTrailingSlash) {
  Outcome<StartUploadResponse> out;
  API<StartUploadRequest, StartUploadResponse>().post(
      StartUploadRequest{"image/png", 1024, "0123456789abcdef0123456789abcdef.png"},
      Endpoint::start(), HTTPMethod::post, out.completion());
  Result<StartUploadResponse> started = out.get();
  ASSERT_TRUE(started.ok()) << started.error().localizedDescription();
  EXPECT_EQ(started->key, "0123456789abcdef0123456789abcdef.png");
  EXPECT_EQ(started->presignedPost.fields.key, started->key);
  ASSERT_TRUE(started->uploadUrl());

  std::vector<json> log = dev_->requests("/api/");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["method"], "POST");
  EXPECT_EQ(log[0]["path"], "/api/v1/upload/start/");
  EXPECT_EQ(log[0]["headers"]["authorization"], "ApiKey " + dev_->token);
  EXPECT_EQ(log[0]["headers"]["content-type"], "application/json");
  EXPECT_EQ(log[0]["body_size"], json({{"content_type", "image/png"},
                                       {"file_size", 1024},
                                       {"key", "0123456789abcdef0123456789abcdef.png"}})
                                     .dump()
                                     .size());
}

TEST_F(APIClientTest, CustomEndpointPathGetsTheVersionPrefixAndTrailingSlash) {
  Outcome<Empty> out;
  API<Empty, Empty>().get(Endpoint::custom("profile/me"), HTTPMethod::get, out.completion());
  EXPECT_TRUE(out.get().ok());
  std::vector<json> log = dev_->requests("/api/");
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["path"], "/api/v1/profile/me/");
}

TEST_F(APIClientTest, LoggedOutNothingIsSentAndNoTaskIsReturned) {
  store_->logout();
  Outcome<ProfileResponse> out;
  auto task = API<Empty, ProfileResponse>().get(Endpoint::me(), HTTPMethod::get, out.completion());
  EXPECT_EQ(task, nullptr);
  Result<ProfileResponse> r = out.get();  // delivered at once, on this thread
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is<UserAccountStoreError>());
  EXPECT_EQ(out.calls(), 1);
  EXPECT_TRUE(dev_->requests("/api/").empty());
}

TEST_F(APIClientTest, BodyThatCannotBeEncodedSendsNothingAndCallsNoCompletion) {
  Outcome<StartUploadResponse> out;
  auto task = API<StartUploadRequest, StartUploadResponse>().post(
      StartUploadRequest{"image/png", 1, "bad\xff"}, Endpoint::start(), HTTPMethod::post,
      out.completion());
  EXPECT_EQ(task, nullptr);
  EXPECT_EQ(out.calls(), 0);
  EXPECT_TRUE(dev_->requests("/api/").empty());
}

// ---- the failure table ----

TEST_F(APIClientTest, EmptyTwoHundredDecodesAModelWithoutFieldsOnly) {
  dev_->fault({{"route", "upload/complete"}, {"status", 200}, {"body_kind", "empty"}});
  EXPECT_TRUE(complete("0123456789abcdef0123456789abcdef.png").ok());

  Result<ProfileResponse> r = profileWithFault({{"status", 200}, {"body_kind", "empty"}});
  ASSERT_NE(apiError(r), nullptr);
  EXPECT_EQ(apiError(r)->kind(), APIError::Kind::schemaMismatch);
  EXPECT_NE(apiError(r)->schemaDescription().find("keyNotFound(key: \"email\""), std::string::npos)
      << apiError(r)->schemaDescription();
}

TEST_F(APIClientTest, AnyJSONDocumentCompletesAnUploadOrADelete) {
  for (const char* body : {"{}", "[]", "\"done\"", "{\"extra\": 1}"}) {
    dev_->fault({{"route", "upload/complete"}, {"status", 200}, {"body", body}});
    EXPECT_TRUE(complete("0123456789abcdef0123456789abcdef.png").ok()) << body;
  }
  dev_->fault({{"route", "upload/delete"}, {"status", 204}, {"body_kind", "empty"}});
  Outcome<DeleteUploadResponse> out;
  API<DeleteUploadRequest, DeleteUploadResponse>().post(
      DeleteUploadRequest{"0123456789abcdef0123456789abcdef.png"}, Endpoint::delete_(),
      HTTPMethod::post, out.completion());
  EXPECT_TRUE(out.get().ok());
}

TEST_F(APIClientTest, MissingProfileKeyOrNegativeUnsignedIsASchemaMismatchNamingTheKey) {
  const json full = profileBody(*dev_);
  ASSERT_EQ(full.size(), 14u) << full.dump();
  std::vector<std::pair<std::string, json>> bodies;
  for (const auto& [key, value] : full.items()) {
    json body = full;
    body.erase(key);
    bodies.emplace_back(key, body);
  }
  for (const char* key :
       {"max_content_size", "max_daily_files_quota_in_bytes", "max_monthly_files_quota_in_bytes",
        "remaining_daily_quota_in_bytes", "remaining_monthly_quota_in_bytes"}) {
    json body = full;
    body[key] = -1;
    bodies.emplace_back(key, body);
  }
  for (const auto& [key, body] : bodies) {
    Result<ProfileResponse> r = profileWithFault({{"status", 200}, {"body", body}});
    ASSERT_NE(apiError(r), nullptr) << key << ": " << describe(r);
    EXPECT_EQ(apiError(r)->kind(), APIError::Kind::schemaMismatch) << key;
    EXPECT_NE(apiError(r)->schemaDescription().find("\"" + key + "\""), std::string::npos)
        << apiError(r)->schemaDescription();
  }
}

TEST_F(APIClientTest, ServiceErrorListBecomesAPIErrorsInOrder) {
  Result<ProfileResponse> r =
      profileWithFault({{"status", 403}, {"body", {{"errors", {"first", "second"}}}}});
  ASSERT_NE(apiError(r), nullptr) << describe(r);
  ASSERT_EQ(apiError(r)->kind(), APIError::Kind::errors);
  EXPECT_EQ(apiError(r)->errorResponse().errors, (std::vector<std::string>{"first", "second"}));
}

// HTML, truncated JSON and 10 MiB of garbage, under a 2xx status and under an error status.
TEST_F(APIClientTest, BodiesOfAnotherFormAreSchemaMismatches) {
  const json faults[] = {
      {{"status", 200}, {"body_kind", "html"}},
      {{"status", 200}, {"body_kind", "truncated_json"}},
      {{"status", 200}, {"body_kind", "garbage"}},
      {{"status", 502}, {"body_kind", "html"}},
      {{"status", 500}, {"body_kind", "truncated_json"}},
      {{"status", 500}, {"body_kind", "garbage"}},
      {{"status", 500}, {"body", json::object()}},
      {{"status", 500}, {"body_kind", "empty"}},
      {{"status", 400}, {"body", {{"error", "not a list"}}}},
  };
  for (const json& fault : faults) {
    Result<ProfileResponse> r = profileWithFault(fault);
    ASSERT_NE(apiError(r), nullptr) << fault.dump() << ": " << describe(r);
    EXPECT_EQ(apiError(r)->kind(), APIError::Kind::schemaMismatch) << fault.dump();
    if (fault.contains("body_kind")) {  // not JSON at all
      EXPECT_NE(apiError(r)->schemaDescription().find("dataCorrupted"), std::string::npos)
          << fault.dump() << ": " << apiError(r)->schemaDescription();
    }
  }
}

TEST_F(APIClientTest, UnauthorizedAnswerIsAnErrorAndPostsNoNotification) {
  std::atomic<int> posted{0};
  auto token = NotificationCenter::defaultCenter().addObserver(
      NotificationName::APIReceiveUnauthStatusCode, std::nullopt,
      [&](const Notification&) { ++posted; });
  store_->login("not-a-token");
  Result<ProfileResponse> r = profile();
  NotificationCenter::defaultCenter().removeObserver(token);
  // The service's 401 body is an error list, like its other refusals.
  ASSERT_NE(apiError(r), nullptr) << describe(r);
  EXPECT_EQ(apiError(r)->kind(), APIError::Kind::errors);
  EXPECT_FALSE(apiError(r)->errorResponse().errors.empty());
  EXPECT_EQ(posted.load(), 0);
  EXPECT_EQ(store_->authToken(), "not-a-token");
}

TEST_F(APIClientTest, CancelledCallIsCancelledTask) {
  dev_->fault({{"route", "profile/me"}, {"delay_ms", 5000}});
  Outcome<ProfileResponse> out;
  auto task = API<Empty, ProfileResponse>().get(Endpoint::me(), HTTPMethod::get, out.completion());
  ASSERT_NE(task, nullptr);
  task->cancel();
  Result<ProfileResponse> r = out.get();
  ASSERT_FALSE(r.ok());
  ASSERT_TRUE(r.error().is<HTTPError>()) << r.error().localizedDescription();
  EXPECT_EQ(r.error().as<HTTPError>()->kind(), HTTPError::Kind::cancelledTask);
  EXPECT_EQ(r.error().localizedDescription(), "Request is cancelled");
}

TEST_F(APIClientTest, TransportErrorsPassUnchanged) {
  Outcome<ProfileResponse> out;
  API<Empty, ProfileResponse> api;
  api.setBaseUrl("http://127.0.0.1:9");  // discard port: nothing listens
  api.get(Endpoint::me(), HTTPMethod::get, out.completion());
  Result<ProfileResponse> r = out.get();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().domain(), "NSURLErrorDomain");
  EXPECT_EQ(r.error().code(), -1004);
}

TEST_F(APIClientTest, ConnectionDroppedBeforeTheAnswerCompletesOnceWithTheTransportError) {
  // Twice: a connection reused from an earlier call that closes without an answer is retried
  // once on a fresh connection, as the desktop's session does.
  dev_->fault({{"route", "profile/me"}, {"drop_after_bytes", 0}, {"count", 2}});
  Outcome<ProfileResponse> out;
  API<Empty, ProfileResponse>().get(Endpoint::me(), HTTPMethod::get, out.completion());
  Result<ProfileResponse> r = out.get();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().domain(), "NSURLErrorDomain") << r.error().localizedDescription();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(out.calls(), 1);
}

TEST_F(APIClientTest, ConnectionDroppedMidAnswerCompletesOnceWithTheTransportError) {
  Outcome<HTTPResponse> out;
  HTTPRequester requester;
  requester.request(*Url::parse(dev_->apiBase + "/__dev__/drop"), HTTPMethod::get, std::nullopt,
                    std::nullopt, out.completion());
  Result<HTTPResponse> r = out.get();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().domain(), "NSURLErrorDomain") << r.error().localizedDescription();
  EXPECT_FALSE(r.error().is<HTTPError>());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(out.calls(), 1);
}

// Outcomes the HTTP stack never produces: an answer without any body, an exchange without an
// answer. They go through the same response step.
TEST(HandleResponseTest, NonTwoHundredWithoutBodyAndInvalidResponsePassUnchanged) {
  test::installAccountServices();
  auto log = Resolver::resolveFromRoot<LogService>();
  std::optional<Result<ProfileResponse>> got;
  auto completion = [&](Result<ProfileResponse> r) { got.emplace(std::move(r)); };
  const RequestData request{std::nullopt, Endpoint::me(), HTTPMethod::get};

  api_detail::handleResponse<ProfileResponse>(HTTPError::badResponse(500, std::nullopt), request,
                                              completion, *log, true);
  ASSERT_TRUE(got && !got->ok());
  EXPECT_EQ(got->error(), Error(HTTPError::badResponse(500, std::nullopt)));

  api_detail::handleResponse<ProfileResponse>(HTTPError::invalidResponse(), request, completion,
                                              *log, true);
  EXPECT_EQ(got->error(), Error(HTTPError::invalidResponse()));

  // A 2xx outcome without a body reads as {}.
  std::optional<Result<Empty>> empty;
  api_detail::handleResponse<Empty>(
      HTTPResponse{204, std::nullopt}, request,
      [&](Result<Empty> r) { empty.emplace(std::move(r)); }, *log, false);
  EXPECT_TRUE(empty && empty->ok());
}

// ---- the requester ----

TEST_F(APIClientTest, RequesterSendsHeaderFieldsAndClassifiesStatuses) {
  HTTPRequester requester;
  Outcome<HTTPResponse> ok;
  requester.request(*Url::parse(dev_->apiBase + "/__dev__/echo"), HTTPMethod::put,
                    std::map<std::string, std::string>{{"X-One", "1"}, {"X-Two", "two"}},
                    std::vector<std::uint8_t>{'a', 'b', 'c'}, ok.completion());
  Result<HTTPResponse> echoed = ok.get();
  ASSERT_TRUE(echoed.ok()) << echoed.error().localizedDescription();
  json echo = json::parse(echoed->data->begin(), echoed->data->end());
  EXPECT_EQ(echo["method"], "PUT");
  EXPECT_EQ(echo["headers"]["x-one"], "1");
  EXPECT_EQ(echo["headers"]["x-two"], "two");
  EXPECT_EQ(echo["body_size"], 3);

  for (int status : {200, 204, 299, 300, 401, 404, 500}) {
    Outcome<HTTPResponse> out;
    requester.request(*Url::parse(dev_->apiBase + "/__dev__/status/" + std::to_string(status)),
                      HTTPMethod::get, std::nullopt, std::nullopt, out.completion());
    Result<HTTPResponse> r = out.get();
    if (status >= 200 && status <= 299) {
      ASSERT_TRUE(r.ok()) << status;
      EXPECT_EQ(r->statusCode, status);
      ASSERT_TRUE(r->data);
    } else {
      ASSERT_FALSE(r.ok()) << status;
      ASSERT_TRUE(r.error().is<HTTPError>()) << status;
      EXPECT_EQ(r.error().as<HTTPError>()->kind(), HTTPError::Kind::badResponse);
      EXPECT_EQ(r.error().as<HTTPError>()->statusCode(), status);
      ASSERT_TRUE(r.error().as<HTTPError>()->data());
      const auto& body = *r.error().as<HTTPError>()->data();
      EXPECT_EQ(json::parse(body.begin(), body.end()), json({{"status", status}}));
    }
  }
}

// ---- security ----

TEST_F(APIClientTest, TokenGoesOnlyToTheAPIAndIntoNoLogLine) {
  auto& environment = test::installAccountServices();
  for (bool debug : {true, false}) {
    environment.debug = debug;
    dev_->reset();
    // Checked after the capture ends: failures reported inside it would be swallowed.
    std::string captured;
    bool read = false, failuresFailed = true, refreshFailed = false, downloaded = false;
    {
      ::testing::internal::CaptureStdout();
      read = profile(debug).ok();
      for (const char* kind : {"json", "html", "garbage"}) {
        failuresFailed &= !profileWithFault({{"status", 500}, {"body_kind", kind}}, debug).ok();
      }
      // A failed refresh is logged as an error with its description.
      auto updater = std::make_shared<ProfileUpdater>();
      for (int attempt = 0; attempt < 3 && !refreshFailed; ++attempt) {
        dev_->fault({{"route", "profile/me"}, {"status", 401}, {"body_kind", "json"}});
        Outcome<ProfileResponse> refreshed;
        updater->updateProfileIfNeeded(refreshed.completion());
        refreshFailed = !refreshed.get().ok();
      }
      // The image downloader talks to any host: it must not carry the token either.
      Outcome<std::vector<std::uint8_t>> image;
      ImageDownloader()._downloadImageData(*Url::parse(dev_->apiBase + "/__dev__/echo"),
                                           image.completion());
      downloaded = image.get().ok();
      captured = ::testing::internal::GetCapturedStdout();
    }
    EXPECT_TRUE(read && failuresFailed && refreshFailed && downloaded) << captured;
    if (debug) {
      EXPECT_NE(captured.find("Request = profile/me"), std::string::npos) << captured;
      EXPECT_NE(captured.find("JSON received = "), std::string::npos);
      EXPECT_NE(captured.find("Bad response. JSON Error = "), std::string::npos);
      EXPECT_NE(captured.find("Error update profile"), std::string::npos);
    } else {
      EXPECT_EQ(captured, "");
    }
    EXPECT_EQ(captured.find(dev_->token), std::string::npos) << captured;

    for (const json& r : dev_->requests("/")) {
      const std::string path = r["path"];
      const bool carriesToken = r["headers"].contains("authorization");
      if (carriesToken) {
        EXPECT_EQ(path.rfind("/api/v1/", 0), 0u) << path;
      }
      if (path == "/__dev__/echo") {
        EXPECT_FALSE(carriesToken);
      }
    }
  }
  environment.debug = true;
}

}  // namespace
}  // namespace lumo
