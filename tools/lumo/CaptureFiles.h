#pragma once

#include <filesystem>
#include <string>
#include <variant>

// Where the captures that `lumo` makes go.
namespace lumo::cli {

// A new capture's file: the library's name for it ("Screen Shot 2026-12-06 at 4.05.10 PM.png",
// from `prefix` and `fileType`) in the user's captures folder, which is created if need be.
//
// Two captures made within one second get the same name from the library: the second one
// becomes "… 2.png", then "… 3.png", and so on. The name is claimed by creating the file
// empty and exclusively, so that neither another capture nor another `lumo` can take it; a
// capture that is given up must remove its file. Main thread only.
//
// The path, or why there is none (the folder cannot be made or written), in one line.
std::variant<std::filesystem::path, std::string> freeCapturePath(const std::string& prefix,
                                                                 const std::string& fileType);

}  // namespace lumo::cli
