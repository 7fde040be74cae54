#pragma once

#include <filesystem>
#include <optional>
#include <string>

// How `lumo` names and vets the files it is given.
namespace lumo::cli {

// The one form of a file argument, used to look captures up and to report them: absolute and
// lexically normal, so that `shot.png`, `./shot.png` and `../files/shot.png` name one capture.
std::filesystem::path normalPath(const std::string& file);

// Why `path` cannot be read as a file, in the system's words ("no such file", "is a folder",
// "permission denied"); nullopt when it can.
std::optional<std::string> whyUnreadable(const std::filesystem::path& path);

// Why `path` cannot be shared although it can be read: the service names an upload after the
// file's extension, so a file without one is refused before anything is sent.
std::optional<std::string> whyNotShareable(const std::filesystem::path& path);

}  // namespace lumo::cli
