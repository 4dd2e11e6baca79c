// The debug float form used in representations: the shortest decimal that reads back as
// the same double, positional for ordinary magnitudes and exponent form for the rest.
#pragma once

#include <string>

namespace norvane {

// Positional with at least one digit after the point when |value| is 0 or lies in
// [1e-4, 1e16) (1.0, 273.15, -0.0); otherwise exponent form with a lower-case e, no plus
// sign and no leading zeros (1e16, 1.5e-7); NaN, inf and -inf for non-finite values.
std::string float_repr(double value);

// As float_repr, appended to `out`.
void append_float_repr(std::string& out, double value);

}  // namespace norvane
