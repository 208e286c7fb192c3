// Physical constants and unit factors (SI): the one place where they are written.
#pragma once

namespace plix::constants {

inline constexpr double speed_of_light = 299792458.0;  // m/s (exact)
inline constexpr double planck = 6.62607015e-34;       // J s (exact)
// 1/h in 1/(J s), the nearest double to 1/planck.
inline constexpr double inverse_planck = 1.5091901796421518e33;
inline constexpr double vacuum_permittivity = 8.8541878188e-12;  // F/m (CODATA 2022)
inline constexpr double avogadro = 6.02214076e23;                // 1/mol (exact)
inline constexpr double millimetre = 1e-3;  // m per mm: scan positions arrive in mm

}  // namespace plix::constants
