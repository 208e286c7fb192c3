// On-axis Gaussian beam and Gaussian pulse.
#pragma once

namespace plix::model {

// Intensity at radius r, time t and distance z from the focus for pulse energy `energy`,
// pulse width tau (1/e half-width), waist w0 and Rayleigh range z0.
double beam_intensity(double r, double t, double z, double energy, double tau, double w0,
                      double z0);

}  // namespace plix::model
