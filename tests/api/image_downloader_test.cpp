// The image downloader against the reference service: statuses, cancel, bytes that are not an
// image, and real images made by ffmpeg served from the delivery address.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "DevService.h"
#include "Recorders.h"
#include "lumo/api/ImageDownloader.h"
#include "lumo/support/DispatchQueue.h"

namespace lumo {
namespace {

using test::DevService;
namespace fs = std::filesystem;

// One completion: its result, how often it came, and whether it ran on the main thread.
template <typename T>
struct Delivery {
  std::mutex mu;
  std::optional<Result<T>> result;  // guarded by mu
  int calls = 0;                    // guarded by mu
  bool onMainThread = false;        // guarded by mu

  std::function<void(Result<T>)> completion() {
    return [this](Result<T> r) {
      std::lock_guard lock(mu);
      ++calls;
      onMainThread = DispatchQueue::isMainThread();
      if (!result) result.emplace(std::move(r));
    };
  }
  // Runs the main queue until the result is there.
  Result<T> wait() {
    const bool arrived = MainQueue::runUntil(
        [&] {
          std::lock_guard lock(mu);
          return result.has_value();
        },
        std::chrono::seconds(30));
    std::lock_guard lock(mu);
    if (!arrived) {
      ADD_FAILURE() << "no completion within 30 s";
      return Error::transport("test", 0, "no completion");
    }
    return *result;
  }
};

class ImageDownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    dev_ = DevService::get(&whyNot);
    if (dev_ == nullptr) FAIL() << whyNot;
  }

  Url dev(const std::string& route) const {
    return *Url::parse(dev_->apiBase + "/__dev__/" + route);
  }

  const DevService* dev_ = nullptr;
  ImageDownloader downloader_;
};

const ImageDownloaderError* downloaderError(const Error& e) {
  return e.as<ImageDownloaderError>();
}

TEST_F(ImageDownloaderTest, NotFoundIsABadResponseWithItsStatus) {
  Delivery<std::vector<std::uint8_t>> data;
  downloader_.downloadImageData(dev("status/404"), data.completion());
  Result<std::vector<std::uint8_t>> r = data.wait();
  ASSERT_FALSE(r.ok());
  const Error& error = r.error();
  ASSERT_NE(downloaderError(error), nullptr) << error.localizedDescription();
  EXPECT_EQ(downloaderError(error)->kind(), ImageDownloaderError::Kind::badResponse);
  EXPECT_EQ(downloaderError(error)->statusCode(), 404);
  EXPECT_TRUE(downloaderError(error)->data());
  EXPECT_EQ(error.localizedDescription(), "Bad response. Status code is 404");
  EXPECT_TRUE(data.onMainThread);

  // A missing object on the delivery address is refused the same way.
  Delivery<PlatformImage> image;
  downloader_.downloadImage(*Url::parse(dev_->shareBase + "/ffffffffffffffffffffffffffffffff.png"),
                            image.completion());
  Result<PlatformImage> missing = image.wait();
  ASSERT_FALSE(missing.ok());
  const Error& missingError = missing.error();
  ASSERT_NE(downloaderError(missingError), nullptr);
  EXPECT_EQ(downloaderError(missingError)->statusCode(), 403);
}

TEST_F(ImageDownloaderTest, CancelledDownloadIsCancelledTask) {
  Delivery<std::vector<std::uint8_t>> data;
  auto task = downloader_.downloadImageData(dev("delay/5000"), data.completion());
  task->cancel();
  Result<std::vector<std::uint8_t>> r = data.wait();
  ASSERT_FALSE(r.ok());
  const Error& error = r.error();
  ASSERT_NE(downloaderError(error), nullptr) << error.localizedDescription();
  EXPECT_EQ(downloaderError(error)->kind(), ImageDownloaderError::Kind::cancelledTask);
  EXPECT_EQ(error.localizedDescription(), "Request is cancelled");
  MainQueue::runFor(std::chrono::milliseconds(200));
  std::lock_guard lock(data.mu);
  EXPECT_EQ(data.calls, 1);
}

TEST_F(ImageDownloaderTest, BytesThatAreNotAnImageAreDataButNoImage) {
  Delivery<std::vector<std::uint8_t>> data;
  downloader_.downloadImageData(dev("bytes/1000"), data.completion());
  Result<std::vector<std::uint8_t>> bytes = data.wait();
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(bytes->size(), 1000u);

  Delivery<PlatformImage> image;
  downloader_.downloadImage(dev("bytes/1000"), image.completion());
  Result<PlatformImage> r = image.wait();
  ASSERT_FALSE(r.ok());
  const Error& error = r.error();
  ASSERT_NE(downloaderError(error), nullptr);
  EXPECT_EQ(downloaderError(error)->kind(), ImageDownloaderError::Kind::dataIsntImage);
  EXPECT_EQ(error.localizedDescription(), "Data isn't image");
  EXPECT_TRUE(image.onMainThread);
}

TEST_F(ImageDownloaderTest, EmptyTwoHundredIsEmptyDataAndNoImage) {
  Delivery<std::vector<std::uint8_t>> data;
  downloader_.downloadImageData(dev("bytes/0"), data.completion());
  Result<std::vector<std::uint8_t>> bytes = data.wait();
  ASSERT_TRUE(bytes.ok()) << bytes.error().localizedDescription();
  EXPECT_TRUE(bytes->empty());

  Delivery<PlatformImage> image;
  downloader_.downloadImage(dev("bytes/0"), image.completion());
  Result<PlatformImage> r = image.wait();
  ASSERT_FALSE(r.ok());
  const Error& error = r.error();
  ASSERT_NE(downloaderError(error), nullptr);
  EXPECT_EQ(downloaderError(error)->kind(), ImageDownloaderError::Kind::dataIsntImage);
}

TEST_F(ImageDownloaderTest, SessionQueueFormCompletesOffTheMainThread) {
  Delivery<std::vector<std::uint8_t>> data;
  downloader_._downloadImageData(dev("bytes/10"), data.completion());
  ASSERT_TRUE(data.wait().ok());
  std::lock_guard lock(data.mu);
  EXPECT_FALSE(data.onMainThread);
}

TEST_F(ImageDownloaderTest, TransportErrorsPassUnchangedExactlyOnce) {
  Delivery<std::vector<std::uint8_t>> refused;
  downloader_.downloadImageData(*Url::parse("http://127.0.0.1:9/x.png"), refused.completion());
  Result<std::vector<std::uint8_t>> r = refused.wait();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().domain(), "NSURLErrorDomain");
  EXPECT_EQ(r.error().code(), -1004);

  // Headers, ten bytes of a thousand, then the connection closes.
  Delivery<PlatformImage> dropped;
  downloader_.downloadImage(dev("drop"), dropped.completion());
  Result<PlatformImage> d = dropped.wait();
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().domain(), "NSURLErrorDomain") << d.error().localizedDescription();
  MainQueue::runFor(std::chrono::milliseconds(300));
  std::lock_guard lock(dropped.mu);
  EXPECT_EQ(dropped.calls, 1);
}

TEST_F(ImageDownloaderTest, RealImagesFromTheDeliveryAddressAreRecognisedWithTheirSize) {
  std::string pattern = (fs::temp_directory_path() / "lumo-download-XXXXXX").string();
  const fs::path dir = ::mkdtemp(pattern.data());
  struct Case {
    const char* file;
    const char* args;
    const char* contentType;
    PlatformImage::Format format;
  };
  const Case cases[] = {
      {"a.png", "", "image/png", PlatformImage::Format::png},
      {"a.jpeg", "", "image/jpeg", PlatformImage::Format::jpeg},
      {"a.gif", "", "image/gif", PlatformImage::Format::gif},
      {"a.bmp", "", "image/bmp", PlatformImage::Format::bmp},
      {"a.tiff", "", "image/tiff", PlatformImage::Format::tiff},
      {"a.webp", "-c:v libwebp", "image/webp", PlatformImage::Format::webp},
  };
  std::vector<Delivery<PlatformImage>> deliveries(std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    const fs::path file = dir / c.file;
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=97x41 "
        "-frames:v 1 " +
        std::string(c.args) + " '" + file.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
    const std::string extension = fs::path(c.file).extension().string().substr(1);
    std::optional<std::string> url = dev_->store(bytes, extension, c.contentType);
    ASSERT_TRUE(url) << c.file;
    // All at once on one downloader.
    downloader_.downloadImage(*Url::parse(*url), deliveries[i].completion());
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    Result<PlatformImage> image = deliveries[i].wait();
    ASSERT_TRUE(image.ok()) << cases[i].file << ": " << image.error().localizedDescription();
    EXPECT_EQ(image->format(), cases[i].format) << cases[i].file;
    EXPECT_EQ(image->size(), (PlatformImage::Size{97, 41})) << cases[i].file;
    std::lock_guard lock(deliveries[i].mu);
    EXPECT_TRUE(deliveries[i].onMainThread);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace lumo
