#include "model/analytic_closed_aperture.hpp"

#include "model/analytic_beam.hpp"

namespace plix::model::analytic {

std::optional<std::string> aperture_note(double aperture, const std::string& model) {
    if (aperture <= aperture_limit || aperture >= open_aperture) return std::nullopt;
    return model + ": the aperture transmits S = " + note_number(aperture) + ", above " +
           note_number(aperture_limit) +
           ", where the (1 - S)^(1/4) scaling of the small-aperture form is off by more than "
           "about 8 %";
}

double closed_aperture_focus(std::span<const double> positions_mm, std::span<const double> measured,
                             double aperture) {
    if (aperture < open_aperture) return peak_valley_crossing(positions_mm, measured);
    return extremum_position(positions_mm, measured);
}

}  // namespace plix::model::analytic
