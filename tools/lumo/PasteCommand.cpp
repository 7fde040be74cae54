#include <iostream>

#include "DesktopCommands.h"

namespace lumo::cli {

int paste(Output&, Host&) {
  std::cerr << "error: lumo paste is being built\n";
  return 1;
}

}  // namespace lumo::cli
