// The principal branch W0 of the Lambert W function, on the real line.
#pragma once

namespace plix::model {

// W0(x): the w >= -1 with w e^w = x, for x >= -1/e; NaN below -1/e or for NaN, +inf for +inf.
double lambert_w0(double x);

// W0(e^z) (Wright's omega function on the real line): the w > 0 with w + ln w = z, for any
// real z, without forming e^z, which overflows for z > 709.
double lambert_w0_of_exp(double z);

}  // namespace plix::model
