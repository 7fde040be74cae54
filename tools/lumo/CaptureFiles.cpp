#include "CaptureFiles.h"

#include <fcntl.h>

#include <cerrno>
#include <system_error>

#include "lumo/capture/ScreenCaptureHelperService.h"
#include "lumo/platform/FileDescriptor.h"
#include "lumo/registry/Resolver.h"
#include "lumo/storage/DirectoriesService.h"

namespace lumo::cli {
namespace fs = std::filesystem;

std::variant<fs::path, std::string> freeCapturePath(const std::string& prefix,
                                                    const std::string& fileType) {
  auto folderUrl = Resolver::resolveFromRoot<DirectoriesService>()->lumoUserFilesDirectory();
  if (!folderUrl) return std::string("the captures folder cannot be determined");
  const fs::path folder = folderUrl->filePath();
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) return "cannot make the captures folder " + folder.string() + ": " + ec.message();

  const std::string name =
      Resolver::resolveFromRoot<ScreenCaptureHelperService>()->createCaptureLocalName(prefix,
                                                                                      fileType);
  const fs::path first = folder / name;
  const std::string stem = first.stem().string();
  const std::string extension = first.extension().string();
  // Past this many captures in one second something else is wrong: say so rather than loop.
  constexpr int kMostPerSecond = 1000;
  for (int number = 1; number <= kMostPerSecond; ++number) {
    const fs::path candidate =
        number == 1 ? first : folder / (stem + " " + std::to_string(number) + extension);
    FileDescriptor fd(
        ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd) return candidate;
    if (errno != EEXIST) {
      return "cannot create " + candidate.string() + ": " + std::generic_category().message(errno);
    }
  }
  return "more than " + std::to_string(kMostPerSecond) + " captures named " + name + " in " +
         folder.string();
}

}  // namespace lumo::cli
