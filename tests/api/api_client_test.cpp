// The API client, the HTTP requester and the image downloader against the reference service:
// what leaves the machine, and how every outcome of an exchange reaches the caller.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/account/UserAccountStoreError.h"
#include "lumo/api/API.h"
#include "lumo/api/CompleteUploadRequest.h"
#include "lumo/api/CompleteUploadResponse.h"
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

using test::json;
using Bytes = std::vector<std::uint8_t>;

const std::string kKey = "0123456789abcdef0123456789abcdef.png";

// One completion: the first result, how many calls came, and whether on the main thread.
template <typename T>
struct Outcome {
  std::function<void(Result<T>)> completion() {
    return [this](Result<T> r) {
      std::lock_guard lock(mu);
      onMainThread = DispatchQueue::isMainThread();
      if (!result) result.emplace(std::move(r));
      ++calls;
    };
  }
  // Runs the main queue until the first result is there; fails the test after 30 s.
  Result<T> get() {
    const bool came = MainQueue::runUntil([&] { return calls > 0; }, std::chrono::seconds(30));
    EXPECT_TRUE(came) << "no completion within 30 s";
    return came ? *result : Error::transport("test", 0, "no completion");
  }

  std::mutex mu;
  std::optional<Result<T>> result;  // written under mu, before calls is raised
  std::atomic<int> calls{0};
  std::atomic<bool> onMainThread{false};
};

template <typename T>
std::string describe(const Result<T>& r) {
  return r.ok() ? std::string("success") : r.error().localizedDescription();
}

class APIClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    if (!(dev_ = test::DevService::get(&whyNot))) FAIL() << whyNot;
    test::installAccountServices().debug = true;
    store_ = Resolver::resolveFromRoot<UserAccountStoreService>();
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
  Url dev(const std::string& route) const {
    return *Url::parse(dev_->apiBase + "/__dev__/" + route);
  }

  const test::DevService* dev_ = nullptr;
  std::shared_ptr<UserAccountStoreService> store_;
};

TEST_F(APIClientTest, CallsGoToVersionedPathsWithTheTokenAndNothingGoesLoggedOutOrUnencodable) {
  Outcome<StartUploadResponse> bad;
  EXPECT_EQ(
      (API<StartUploadRequest, StartUploadResponse>().post(
          {"image/png", 1, "bad\xff"}, Endpoint::start(), HTTPMethod::post, bad.completion())),
      nullptr);
  store_->logout();
  Outcome<ProfileResponse> out;
  EXPECT_EQ((API<Empty, ProfileResponse>().get(Endpoint::me(), HTTPMethod::get, out.completion())),
            nullptr);
  EXPECT_EQ(std::tuple(out.calls.load(), bad.calls.load()), std::tuple(1, 0));  // at once, here
  EXPECT_TRUE(out.get().error().is<UserAccountStoreError>());
  store_->login(dev_->token);

  ASSERT_TRUE(profile().ok());
  Outcome<StartUploadResponse> started;
  const StartUploadRequest start{"image/png", 1024, kKey};
  API<StartUploadRequest, StartUploadResponse>().post(start, Endpoint::start(), HTTPMethod::post,
                                                      started.completion());
  EXPECT_TRUE(started.get().ok()) << describe(started.get());
  // Nothing was stored under kKey: only a fault that waits for a JSON "key" of kKey answers 200.
  ASSERT_TRUE(dev_->fault({{"route", "upload/complete"}, {"key", kKey}, {"status", 200}}));
  Outcome<CompleteUploadResponse> completed;
  API<CompleteUploadRequest, CompleteUploadResponse>().post(
      CompleteUploadRequest{kKey}, Endpoint::complete(), HTTPMethod::post, completed.completion());
  EXPECT_TRUE(completed.get().ok()) << describe(completed.get());

  const std::vector<json> log = dev_->requests("/api/");
  std::vector<std::string> sent;
  for (const json& r : log)
    sent.push_back(r["method"].get<std::string>() + " " + r["path"].get<std::string>() + " " +
                   r["headers"].value("authorization", "") + " " +
                   r["headers"].value("content-type", ""));
  const std::string h = " ApiKey " + dev_->token + " application/json";
  EXPECT_EQ(sent, (std::vector<std::string>{"GET /api/v1/profile/me/" + h,
                                            "POST /api/v1/upload/start/" + h,
                                            "POST /api/v1/upload/complete/" + h}));
  EXPECT_EQ(log.at(1)["body_size"], start.encode().dump().size());
}

// Every answer goes through this step.
TEST(HandleResponseTest, AnswersBecomeTheModelAnErrorListOrASchemaMismatch) {
  test::installAccountServices();
  LogService& log = *Resolver::resolveFromRoot<LogService>();
  const std::tuple<std::int64_t, std::optional<std::string>, std::string> cases[] = {
      {200, std::nullopt, "keyNotFound(key: \"email\""},  // no body reads as {}
      {403, R"({"errors": ["first", "second"]})", "first\nsecond"},
      {502, "<html>", "dataCorrupted"},
      {500, std::nullopt, "Bad response"}};
  for (const auto& [status, text, error] : cases) {
    const auto body = text ? std::optional(Bytes(text->begin(), text->end())) : std::nullopt;
    std::optional<Result<ProfileResponse>> got;
    api_detail::handleResponse<ProfileResponse>(
        status == 200 ? Result<HTTPResponse>(HTTPResponse{200, body})
                      : Result<HTTPResponse>(Error(HTTPError::badResponse(status, body))),
        {std::nullopt, Endpoint::me(), HTTPMethod::get},
        [&](Result<ProfileResponse> r) { got.emplace(std::move(r)); }, log, true);
    ASSERT_TRUE(got);
    EXPECT_NE(describe(*got).find(error), std::string::npos) << status << " " << describe(*got);
  }
}

TEST_F(APIClientTest, RequesterSendsFieldsAndBodyAndTheDownloaderAnswersOnTheMainThread) {
  HTTPRequester requester;
  // The library's sessions draw from one pool, and so share its bounds.
  EXPECT_TRUE(requester.urlSession()->configuration().connectionPool ==
              HTTPRequester::registeredConfiguration().connectionPool);
  Outcome<HTTPResponse> echoed, dropped;
  auto task =
      requester.request(dev("echo"), HTTPMethod::put,
                        std::map<std::string, std::string>{{"X-One", "1"}, {"X-Two", "two"}},
                        Bytes{'a', 'b', 'c'}, echoed.completion());
  EXPECT_EQ(task->originalRequest().timeoutInterval, std::chrono::seconds(60));
  Result<HTTPResponse> r = echoed.get();
  ASSERT_TRUE(r.ok() && r->data) << describe(r);
  const json echo = json::parse(r->data->begin(), r->data->end());
  EXPECT_EQ(
      json({echo["method"], echo["headers"]["x-one"], echo["headers"]["x-two"], echo["body_size"]}),
      json({"PUT", "1", "two", 3}));
  // Headers and ten bytes of a thousand, then the connection closes.
  requester.request(dev("drop"), HTTPMethod::get, std::nullopt, std::nullopt, dropped.completion());
  EXPECT_EQ(dropped.get().error().domain(), "NSURLErrorDomain") << describe(dropped.get());

  // The image downloader delivers images and failures on the main thread.
  ImageDownloader downloader;
  // One real image from the delivery address: formats are the platform image suite's.
  const auto png = PlatformImage::fromRGBA(97, 41, Bytes(97 * 41 * 4, 0x80))->pngRepresentation();
  Outcome<PlatformImage> image;
  downloader.downloadImage(*Url::parse(dev_->store(*png, "png", "image/png").value()),
                           image.completion());
  Result<PlatformImage> i = image.get();
  ASSERT_TRUE(i.ok() && image.onMainThread) << describe(i);
  EXPECT_TRUE(i->format() == PlatformImage::Format::png &&
              i->size() == (PlatformImage::Size{97, 41}));

  const std::pair<Url, std::string> failures[] = {
      {dev("status/404"), "Bad response. Status code is 404"},
      {*Url::parse(dev_->shareBase + "/ffffffffffffffffffffffffffffffff.png"),
       "Bad response. Status code is 403"},
      {dev("bytes/1000"), "Data isn't image"},
      {dev("delay/5000"), "Request is cancelled"}};
  for (const auto& [from, text] : failures) {
    Outcome<PlatformImage> failed;
    auto task = downloader.downloadImage(from, failed.completion());
    if (text == "Request is cancelled") task->cancel();
    Result<PlatformImage> f = failed.get();
    EXPECT_TRUE(!f.ok() && f.error().is<ImageDownloaderError>() && failed.onMainThread) << text;
    EXPECT_EQ(describe(f), text);
  }
  Outcome<Bytes> data, offMain;
  downloader.downloadImageData(dev("bytes/1000"), data.completion());
  downloader._downloadImageData(dev("bytes/10"), offMain.completion());
  const std::size_t sizes[] = {data.get()->size(), offMain.get()->size()};  // in this order
  EXPECT_EQ(std::tuple(sizes[0], sizes[1], data.onMainThread.load(), offMain.onMainThread.load()),
            std::tuple(1000u, 10u, true, false));
}

// A refusal is the service's error list; the token stays until the host acts on it.
TEST_F(APIClientTest, TokenGoesOnlyToTheAPIAndIntoNoLogLine) {
  auto& environment = test::installAccountServices();
  std::atomic<int> posted{0};
  auto observer = NotificationCenter::defaultCenter().addObserver(
      NotificationName::APIReceiveUnauthStatusCode, std::nullopt,
      [&](const Notification&) { ++posted; });
  for (bool debug : {true, false}) {
    environment.debug = debug;
    dev_->reset();
    ASSERT_TRUE(dev_->fault({{"route", "profile/me"}, {"status", 500}, {"body_kind", "html"}}));
    // Checked after the capture ends: failures reported inside it would be swallowed.
    ::testing::internal::CaptureStdout();
    const bool failed = !profile(debug).ok(), read = profile(debug).ok();
    // The image downloader talks to any host: it must not carry the token either.
    Outcome<Bytes> echoed;
    ImageDownloader()._downloadImageData(dev("echo"), echoed.completion());
    const bool downloaded = echoed.get().ok();
    store_->login("not-a-token");
    (void)profile(debug);
    const std::string captured = ::testing::internal::GetCapturedStdout();
    EXPECT_TRUE(failed && read && downloaded) << captured;
    EXPECT_EQ(store_->authToken(), "not-a-token");
    store_->login(dev_->token);
    for (const char* line : {"Request = profile/me", "JSON received = {", "Bad response. JSON"})
      EXPECT_EQ(captured.find(line) != std::string::npos, debug) << line << "\n" << captured;
    EXPECT_EQ(captured.find(dev_->token), std::string::npos) << captured;
    for (const json& r : dev_->requests("/"))
      EXPECT_EQ(r["headers"].contains("authorization"),
                r["path"].get<std::string>().starts_with("/api/v1/"))
          << r["path"];
  }
  MainQueue::drain();
  NotificationCenter::defaultCenter().removeObserver(observer);
  EXPECT_EQ(posted.load(), 0);
  environment.debug = true;
}

}  // namespace
}  // namespace lumo
