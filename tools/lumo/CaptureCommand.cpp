#include <iostream>

#include "DesktopCommands.h"

namespace lumo::cli {

int capture(Output&, Host&, const CaptureOptions&) {
  std::cerr << "error: lumo capture is being built\n";
  return 1;
}

}  // namespace lumo::cli
