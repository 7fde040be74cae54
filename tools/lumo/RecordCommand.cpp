#include <iostream>

#include "DesktopCommands.h"

namespace lumo::cli {

int record(Output&, Host&, const RecordOptions&) {
  std::cerr << "error: lumo record is being built\n";
  return 1;
}

}  // namespace lumo::cli
