// `lumo demo`: the tour of the library on one machine. It makes a screenshot, a screencast, a
// GIF and a PDF on the spot, logs in with the reference service's dev token, shares them, prints
// their links and fetches every uploaded file back to compare its bytes.

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "Commands.h"
#include "ShareRun.h"
#include "lumo/account/UserAccountStoreService.h"
#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/capture/Screencast.h"
#include "lumo/platform/ChildProcess.h"
#include "lumo/platform/HttpSession.h"
#include "lumo/registry/Resolver.h"
#include "lumo/sharing/ShareURLHelperService.h"

namespace lumo::cli {
namespace fs = std::filesystem;
namespace {

using Bytes = std::vector<std::uint8_t>;

bool run(std::vector<std::string> args) {
  ChildProcess::Options options;
  options.arguments = std::move(args);
  options.errors = ChildProcess::Stream::inherit;
  return ChildProcess::run(options, std::chrono::steady_clock::now() + std::chrono::minutes(2))
      .succeeded();
}

bool ffmpeg(const std::string& input, std::vector<std::string> extra, const fs::path& out) {
  std::vector<std::string> args{"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", input};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(out.string());
  return run(args) && fs::exists(out);
}

// A one-page PDF with a line of text; the cross-reference offsets are counted, not guessed.
bool writePdf(const fs::path& path) {
  const std::string stream = "BT /F1 24 Tf 72 720 Td (Shared with LumoShared) Tj ET";
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      // One object split over two lines, not a missing comma.
      // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R "
      "/Resources << /Font << /F1 5 0 R >> >> >>",
      "<< /Length " + std::to_string(stream.size()) + " >>\nstream\n" + stream + "\nendstream",
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const std::size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (auto offset : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", offset);
    pdf += line;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  std::ofstream out(path, std::ios::binary);
  out << pdf;
  return static_cast<bool>(out);
}

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// GET through the library's own HTTP session.
std::optional<Bytes> fetch(HttpSession& session, const Url& url, std::string* why) {
  std::promise<std::optional<Bytes>> promise;
  auto future = promise.get_future();
  session
      .dataTask(HttpRequest(url),
                [&promise, why](std::optional<HttpResponse> response, std::optional<Bytes> data,
                                std::optional<Error> error) {
                  if (error) {
                    *why = error->localizedDescription();
                  } else if (!response || response->statusCode != 200) {
                    *why = "HTTP " + std::to_string(response ? response->statusCode : 0);
                  } else {
                    promise.set_value(std::move(data).value_or(Bytes{}));
                    return;
                  }
                  promise.set_value(std::nullopt);
                })
      ->resume();
  return future.get();
}

struct Made {
  fs::path screenshot, screencast, gif, pdf;
};

std::optional<Made> makeCaptures(const fs::path& folder) {
  auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
  Made made{folder / helper->createScreenshotLocalName(ImageFormat::png),
            folder / helper->createScreencastLocalName(),
            folder / helper->createCaptureLocalName("Lumo GIF", "gif"), folder / "Lumo demo.pdf"};
  const bool ok = ffmpeg("testsrc2=size=1280x720:rate=1", {"-frames:v", "1"}, made.screenshot) &&
                  ffmpeg("testsrc=duration=3:size=640x360:rate=25",
                         {"-pix_fmt", "yuv420p", "-c:v", "mpeg4", "-q:v", "5"}, made.screencast) &&
                  ffmpeg("testsrc=duration=2:size=240x135:rate=10", {}, made.gif) &&
                  writePdf(made.pdf);
  if (!ok) return std::nullopt;
  return made;
}

}  // namespace

DemoHome::DemoHome(bool keep) : keep_(keep) {
  std::error_code ec;
  const fs::path temporary = fs::temp_directory_path(ec);
  if (ec) throw std::runtime_error("no temporary folder: " + ec.message());
  std::string pattern = (temporary / "lumo-demo-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    throw std::runtime_error("cannot make a temporary folder in " + temporary.string() + ": " +
                             std::generic_category().message(errno));
  }
  root_ = pattern;
  // Made before the first thread starts (see Commands.h): nothing reads the environment
  // while it changes.
  // NOLINTNEXTLINE(concurrency-mt-unsafe)
  ::setenv("HOME", root_.c_str(), 1);
  for (const auto& [variable, folder] : {std::pair{"XDG_CONFIG_HOME", ".config"},
                                         {"XDG_DATA_HOME", ".local/share"},
                                         {"XDG_CACHE_HOME", ".cache"}}) {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): as above, before the first thread
    ::setenv(variable, (root_ / folder).c_str(), 1);
  }
}

DemoHome::~DemoHome() {
  if (keep_) return;
  std::error_code ec;
  fs::remove_all(root_, ec);
}

int demo(Output& output, Host& host, const DemoHome& home) {
  const char* token = std::getenv("LUMO_DEV_TOKEN");
  if (!token || !*token) {
    std::cerr << "error: set LUMO_DEV_TOKEN to the reference service's dev token (scripts/demo "
                 "does; see `scripts/devstack start`)\n";
    return 2;
  }
  const fs::path folder = home.root() / "Documents";
  fs::create_directories(folder);
  output.raw("Making a screenshot, a screencast, a GIF and a PDF in " + folder.string() + "\n");
  const auto made = makeCaptures(folder);
  if (!made) {
    std::cerr << "error: ffmpeg could not make the demo's media (is ffmpeg installed? "
                 "scripts/setup installs it)\n";
    return 1;
  }
  Resolver::resolveFromRoot<UserAccountStoreService>()->login(token);
  output.raw("Logged in with the dev token; sharing...\n");

  std::vector<ShareRun::Outcome> outcomes;
  int status = 0;
  {
    ShareRun run(output, host);
    status = run.share({made->screenshot.string(), made->screencast.string(), made->gif.string(),
                        made->pdf.string()},
                       &outcomes);
  }
  if (status == 130) return status;

  // Every uploaded file, with the local bytes it must equal.
  auto urls = Resolver::resolveFromRoot<ShareURLHelperService>();
  auto helper = Resolver::resolveFromRoot<ScreenCaptureHelperService>();
  std::vector<std::pair<std::optional<Url>, fs::path>> uploads;
  for (const auto& outcome : outcomes) {
    if (!outcome.ok) continue;
    const fs::path path = outcome.file;
    auto capture = helper->screenCapture(Url::fileURL(path));
    uploads.emplace_back(urls->generateShareURL(*capture), path);
    if (dynamic_cast<const Screencast*>(capture.get())) {
      const auto fileURL = Url::fileURL(path);
      if (auto thumbnail = helper->screencastThumbnailURL(fileURL)) {
        uploads.emplace_back(urls->generateThumbnailShareURL(*capture), thumbnail->filePath());
      }
      if (auto page = helper->screencastHTMLURL(fileURL)) {
        uploads.emplace_back(urls->generateHTMLShareURL(*capture), page->filePath());
      }
    }
  }
  output.raw("\nFetching each link back:\n");
  auto session = HttpSession::make(HttpSessionConfiguration{});
  std::size_t matched = 0;
  for (const auto& [url, path] : uploads) {
    std::string why;
    std::optional<Bytes> bytes;
    if (url) bytes = fetch(*session, *url, &why);
    const Bytes local = readFile(path);
    const bool same = bytes && *bytes == local;
    matched += same ? 1 : 0;
    std::string line = same ? "  bytes match     " : "  BYTES DIFFER    ";
    line += (url ? url->absoluteString() : std::string("(no link)")) + "  <- " +
            path.filename().string();
    if (!bytes)
      line += " (" + why + ")";
    else if (!same)
      line += " (" + std::to_string(bytes->size()) + " bytes fetched, " +
              std::to_string(local.size()) + " on disk)";
    output.raw(line + "\n");
  }
  const bool ok = status == 0 && matched == uploads.size() && outcomes.size() == 4;
  if (home.kept()) output.raw("\nThe demo's folders are kept in " + home.root().string() + "\n");
  output.raw(ok ? "\nDemo succeeded: 4 captures shared, " + std::to_string(matched) +
                      " files fetched back byte for byte.\n"
                : "\nDemo failed: see above.\n");
  return ok ? 0 : 1;
}

}  // namespace lumo::cli
