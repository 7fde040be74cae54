#pragma once

#include <string>

#include "lumo/Export.h"

namespace lumo {

// A double as the desktop describes it: the shortest digits that read back; plain decimal
// notation with at least one fractional digit from 0.0001 up to 2^53 ("1920.0", "0.375"),
// exponent notation with a two-digit exponent outside that range ("1e-05",
// "1.8014398509481984e+16"); "inf", "-inf" and "nan" as such.
LUMO_API std::string describeDouble(double value);

}  // namespace lumo
