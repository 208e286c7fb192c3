"""plix: Z-scan curves and fits of five-level nonlinear absorbers.

The experiment is a :class:`Setup`, the eight spectroscopic parameters are
:class:`Parameters`, and a :class:`Model` says how the transmittance curve is computed;
:func:`simulate` gives the curves. SI units throughout, except scan positions in mm.
"""

from plix._fit import fit
from plix._model import Model
from plix._parameters import Parameter, Parameters
from plix._result import FitResult, FitStart, FitWarning
from plix._scan import Dataset, Scan
from plix._setup import Setup
from plix._simulate import SimulationInfo, simulate

__all__ = [
    "Dataset",
    "FitResult",
    "FitStart",
    "FitWarning",
    "Model",
    "Parameter",
    "Parameters",
    "Scan",
    "Setup",
    "SimulationInfo",
    "fit",
    "simulate",
]

# Files, figures and the version.
from plix._io import read_parameters, read_scan, read_setup, write_scan
from plix._plotting import plot_simulation
from plix._version import __version__

__all__ += ["read_parameters", "read_scan", "read_setup", "write_scan", "plot_simulation",
            "__version__"]
