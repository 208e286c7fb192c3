"""plix: Z-scan curves and fits of nonlinear absorbers.

The experiment is a :class:`Setup`, a :class:`Model` says how the transmittance curve is
computed (a registered kind such as ``Model.physical(scheme=...)`` on a :class:`LevelScheme`,
or your own function), its parameters are :class:`Parameters`; :func:`simulate` gives the
curves and :func:`fit` fits them. SI units throughout, except scan positions in mm.
"""

from plix._cancel import Cancelled
from plix._derived import DatasetQuantities, DerivedQuantities, Quantity, derived_quantities
from plix._fit import fit
from plix._model import Model, model_kinds
from plix._nuisances import Nuisances, NuisanceValue
from plix._parameters import Parameter, Parameters
from plix._profile import Profile, profile
from plix._result import DatasetConditions, FitResult, FitStart, FitWarning, Minimum
from plix._sanity import Checks, check
from plix._systematics import SystematicBudget, systematic_budget
from plix._scan import Dataset, Scan
from plix._scheme import Decay, LevelScheme, Transition
from plix._setup import Setup
from plix._simulate import ModelWarning, SimulationInfo, simulate
from plix._specs import ParameterSpec

__all__ = [
    "Cancelled",
    "Checks",
    "Dataset",
    "DatasetConditions",
    "DatasetQuantities",
    "Decay",
    "DerivedQuantities",
    "FitResult",
    "FitStart",
    "FitWarning",
    "LevelScheme",
    "Minimum",
    "Model",
    "ModelWarning",
    "NuisanceValue",
    "Nuisances",
    "Parameter",
    "ParameterSpec",
    "Parameters",
    "Profile",
    "Quantity",
    "Scan",
    "Setup",
    "SimulationInfo",
    "SystematicBudget",
    "Transition",
    "check",
    "derived_quantities",
    "fit",
    "model_kinds",
    "profile",
    "simulate",
    "systematic_budget",
]

# Files, figures and the version.
from plix._io import FileFormatError, read_parameters, read_scan, read_setup, write_scan
from plix._json import read_json
from plix._plotting import plot_simulation
from plix._preprocess import Preprocessing, preprocess
from plix._scanformat import Curve, ScanFormat, read_scan_format
from plix._unitchecks import ScanWarning
from plix._version import __version__

__all__ += ["Curve", "FileFormatError", "Preprocessing", "ScanFormat", "ScanWarning",
            "preprocess", "read_json", "read_parameters", "read_scan", "read_scan_format", "read_setup",
            "write_scan", "plot_simulation", "__version__"]

# Many fits at once, on local threads or a Dask cluster.
from plix._batch import FitFailure, FitJob, fit_many  # noqa: E402
__all__ += ["FitFailure", "FitJob", "fit_many"]
