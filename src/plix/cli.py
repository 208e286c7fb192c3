"""The ``plix`` command: fit a scan file, or simulate curves, from the shell.

Exit status: 0 on success, 1 when a fit did not converge, 2 on bad input (a one-line
message on stderr, no traceback).
"""

from __future__ import annotations

import argparse
import math
import sys
import time
import warnings

import numpy as np

from ._fit import DEFAULT_COARSE_FACTOR, MAX_NFEV, MAX_STARTS

EXIT_OK, EXIT_NOT_CONVERGED, EXIT_BAD_INPUT = 0, 1, 2
EXIT_INTERRUPTED = 130  # the shell's convention for SIGINT

UNITS = """units: positions in mm, pulse energies in J; in the set-up file wavelength, w0 (beam
waist radius at 1/e^2) and sample_width in m, tau (pulse half-width at 1/e) in s,
populations in m^-3; in the parameter file each parameter in its SI unit (cross-sections in
m^2, lifetimes in s; the report lists every unit)."""


def _models_help() -> str:
    from ._model import kind_summary, model_kinds

    width = max(len(k) for k in model_kinds())
    return "models:\n" + "\n".join(f"  {k:<{width}}  {kind_summary(k)}" for k in model_kinds())


SCAN_FILES = """scan files: text tables, one row per point (long) or one transmittance column
per curve (wide, --curve). UTF-8 with or without a byte-order mark, any line ends; ',' ';'
tab or whitespace separated; decimal commas when the separator is not a comma; '#' comments.
Columns, named in the header with an optional unit (z_mm, z (mm), z [cm], Position_mm,
T, T (%), E (uJ), P (mW), ...):
""" + "{names}" + """
Other columns are errors unless left out with --ignore. Rows with one energy (and aperture)
make one dataset, or rows with one 'dataset' label. Without an energy column the energy is
--energy, --power/--rep-rate, or the file name (..._2.5uJ.csv, scan 500nJ.txt, 2p5uJ).
Transmittance with median far from 1 (percent, raw signal) and energies above 1 J are
refused; unusual position spans are warned of.

examples:
  plix fit a.csv b.csv --setup s.toml --params p.toml           several files together
  plix fit CS2_2.5uJ.csv ...                                     energy from the name
  plix fit scan.txt --columns z_mm,T --energy 2.5uJ ...          no header row
  plix fit scan.csv --ignore 'Reference (V)' --transmittance-unit % ...
  plix fit raw.csv --transmittance-unit raw --normalize --wings 4 ...
  plix fit wide.csv --curve 'T open=2.5uJ' --curve 'T closed=2.5uJ,aperture=0.3' ..."""


class InputError(Exception):
    """Bad input from the command line or the files it names: reported in one line."""


# --------------------------------------------------------------------------- parsing


def _count_up_to(largest: int):
    """An argparse type: a whole number from 1 to `largest`."""

    def parse(text: str) -> int:
        value = _positive_int(text)
        if value > largest:
            raise argparse.ArgumentTypeError(f"expected at most {largest}, got {value}")
        return value

    return parse


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def _energy(text: str) -> float:
    """A pulse energy: J, or with a unit (2.5uJ, 500nJ, 1mJ)."""
    from ._units import ENERGY, value_with_unit

    try:
        return value_with_unit(text, ENERGY, "energy")
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _text_option(kind, name):
    """An argparse type that checks a value with a unit (power, repetition rate) early."""
    from ._units import value_with_unit

    def check(text: str) -> str:
        try:
            value_with_unit(text, kind, name)
        except ValueError as error:
            raise argparse.ArgumentTypeError(str(error)) from None
        return text

    return check


def _aperture(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected the aperture's linear transmittance S, a "
                                         f"number in (0, 1), got {text!r}") from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"the aperture's linear transmittance S must be in "
                                         f"(0, 1), got {text!r}")
    return value


def _curve(text: str):
    """NAME=ENERGY[,aperture=S][,sigma=COLUMN] -> (NAME, Curve)."""
    from ._scanformat import Curve

    name, _, rest = text.partition("=")
    if not name.strip():
        raise argparse.ArgumentTypeError(f"expected COLUMN=ENERGY[,aperture=S][,sigma=COLUMN], "
                                         f"got {text!r}")
    fields = {}
    for item in filter(None, (part.strip() for part in rest.split(","))):
        key, equals, value = item.partition("=")
        if not equals:
            key, value = "energy", item
        key = {"s": "aperture"}.get(key.strip().lower(), key.strip().lower())
        if key not in ("energy", "aperture", "sigma") or key in fields:
            raise argparse.ArgumentTypeError(f"{text!r}: expected COLUMN=ENERGY[,aperture=S]"
                                             f"[,sigma=COLUMN], not {item!r}")
        fields[key] = value.strip()
    try:
        if "aperture" in fields:
            fields["aperture"] = _aperture(fields["aperture"])
        return name.strip(), Curve(**fields)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"{text!r}: {error}") from None


# Positions one simulate may ask for: far beyond any scan, well within memory.
MAX_POSITIONS = 1_000_000


class _Parser(argparse.ArgumentParser):
    """argparse with its errors in one line on stderr (exit status 2), naming the help."""

    def error(self, message):
        self.exit(EXIT_BAD_INPUT, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _positions(text: str) -> np.ndarray:
    """START:STOP:COUNT in mm, ends included, as numpy.linspace."""
    parts = text.split(":")
    try:
        if len(parts) != 3:
            raise ValueError
        start, stop, count = float(parts[0]), float(parts[1]), int(parts[2])
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected START:STOP:COUNT in mm (for example -30:30:61), got {text!r}") from None
    if not (math.isfinite(start) and math.isfinite(stop)) or count < 2 or start == stop:
        raise argparse.ArgumentTypeError(
            f"expected two different finite ends and a COUNT of at least 2, got {text!r}")
    if count > MAX_POSITIONS:
        raise argparse.ArgumentTypeError(
            f"COUNT must be at most {MAX_POSITIONS}, got {count} in {text!r}")
    return np.linspace(start, stop, count)


def _add_common(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--setup", required=True, metavar="SETUP.toml",
                        help="set-up file: wavelength, w0, sample_width (m), tau (s), "
                             "populations (m^-3), M2, and optionally a [model] table")
    parser.add_argument("--params", required=True, metavar="PARAMS.toml",
                        help="parameter file: one entry per parameter of the model (for the "
                             "five-level scheme sigma_12, sigma_23, sigma_45 in m^2 and "
                             "lifetime_21 ... lifetime_54 in s); a table with value, vary, "
                             "min, max frees one")
    from ._model import model_kinds

    parser.add_argument("--model", choices=model_kinds(),
                        help="model preset; overrides the set-up file's [model] preset "
                             "(its fields are kept when the presets agree). Default: the "
                             "set-up file's model, else physical")
    parser.add_argument("--threads", type=_positive_int, metavar="N",
                        help="worker threads (default: the cores this process may use)")


def _add_reading(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "reading scan files", "What a scan file does not say itself. Every option applies to "
        "every file;\na unit in a header wins, and a unit option that disagrees with it is an "
        "error.")
    group.add_argument("--format", metavar="FORMAT.toml",
                       help="a format file: the options below as keys, and a [columns] table "
                            "with names, ignore and curves (see help(plix.read_scan_format)); "
                            "options given here replace its values")
    group.add_argument("--columns", metavar="NAMES",
                       help="column names of files without a header row, comma separated, "
                            "units included: z_mm,T,E_uJ or 'z (cm),T (%%)'; '-' skips a column")
    group.add_argument("--ignore", action="append", default=[], metavar="COLUMN",
                       help="leave this column out (by its header name); repeat for several")
    group.add_argument("--curve", action="append", default=[], type=_curve,
                       metavar="COLUMN=ENERGY[,aperture=S][,sigma=COLUMN]",
                       help="a wide file: this column is the transmittance at ENERGY (2.5uJ), "
                            "through an aperture of linear transmittance S (omit for open); "
                            "one --curve per transmittance column")
    group.add_argument("--position-unit", choices=("um", "mm", "cm", "m"),
                       help="positions without a unit in the header (default mm)")
    group.add_argument("--transmittance-unit", choices=("1", "%", "raw"),
                       help="transmittance without a unit: normalised (1, default), percent, "
                            "or raw signal (needs --normalize or --detilt)")
    group.add_argument("--energy-unit", choices=("pJ", "nJ", "uJ", "mJ", "J"),
                       help="energies without a unit in the header (default J)")
    group.add_argument("--energy", action="append", default=[], type=_energy_text, metavar="E",
                       help="the pulse energy of a file without an energy column: 2.5uJ, 500nJ, "
                            "or in J; once for every file, or once per file in order")
    group.add_argument("--power", type=_text_option("power", "--power"), metavar="P",
                       help="the average power instead of the energy (20mW, or in W); "
                            "needs --rep-rate")
    group.add_argument("--rep-rate", type=_text_option("frequency", "--rep-rate"), metavar="F",
                       help="the repetition rate (1kHz, or in Hz): energy = power / rate, for "
                            "--power or a power column")
    group.add_argument("--energy-per-point", action="store_true",
                       help="the energy column is each point's measured energy (each point "
                            "is modelled at its own energy), not a dataset's")
    group.add_argument("--no-energy-from-name", action="store_true",
                       help="do not read the energy from the file name (..._2.5uJ.csv)")
    group.add_argument("--aperture", type=_aperture, metavar="S",
                       help="every dataset of the files is closed-aperture with linear "
                            "transmittance S")
    group.add_argument("--allow-large-energy", action="store_true",
                       help="accept pulse energies above 1 J (refused as a likely unit slip)")
    group.add_argument("--encoding", metavar="NAME",
                       help="the files' text encoding (default utf-8; latin-1, cp1252, utf-16 "
                            "...)")
    group.add_argument("--separator", choices=("auto", "comma", "semicolon", "tab", "whitespace"),
                       help="the column separator (default auto: as the first row)")
    group.add_argument("--decimal", choices=("auto", "point", "comma"),
                       help="the decimal mark (default auto: a comma when the separator is "
                            "not one and the numbers have commas)")


def _add_preprocessing(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "preprocessing", "Steps labs do by hand, each optional; what each did is printed on "
        "stderr.")
    group.add_argument("--normalize", action="store_true",
                       help="divide each dataset by the mean transmittance of its wings")
    group.add_argument("--detilt", action="store_true",
                       help="divide each dataset by the straight line through its wings (with "
                            "--normalize: the line itself; alone: the line scaled to 1)")
    group.add_argument("--wings", type=_positive_int, default=5, metavar="K",
                       help="points at each end for --normalize and --detilt (default 5)")
    group.add_argument("--divide", action="store_true",
                       help="divide each closed-aperture dataset by the open one at the same "
                            "energy and positions (approximate; a joint fit of both is "
                            "better)")


SCOPES = {"shared": "shared", "per-file": "per_scan", "per-dataset": "per_dataset"}


def _scope(text: str) -> str:
    if text not in SCOPES:
        raise argparse.ArgumentTypeError(f"expected one of {', '.join(SCOPES)}, got {text!r}")
    return SCOPES[text]


def _factor(text: str) -> float:
    """A finite number >= 1."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number >= 1, got {text!r}") from None
    if not (math.isfinite(value) and value >= 1.0):
        raise argparse.ArgumentTypeError(f"expected a finite number >= 1, got {text!r}")
    return value


def _fraction(text: str) -> float:
    """A number in (0, 1), or a percentage (50%)."""
    try:
        value = float(text[:-1]) / 100.0 if text.endswith("%") else float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a fraction in (0, 1) or a percentage "
                                         f"(0.5 or 50%), got {text!r}") from None
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"expected a value in (0, 1) (or 0-100 %), got {text!r}")
    return value


SYSTEMATIC_SOURCES = ("w0", "tau", "energy", "sample_width", "aperture")


def _systematics(text: str) -> dict:
    """w0=5%,tau=0.1,... -> {source: relative uncertainty}."""
    out = {}
    for item in filter(None, (part.strip() for part in text.split(","))):
        key, equals, value = item.partition("=")
        key = key.strip()
        if not equals or key not in SYSTEMATIC_SOURCES or key in out:
            raise argparse.ArgumentTypeError(
                f"expected SOURCE=UNCERTAINTY,... with sources {', '.join(SYSTEMATIC_SOURCES)} "
                f"(w0=5%,tau=10%), got {item!r}")
        value = value.strip()
        try:
            number = float(value[:-1]) / 100.0 if value.endswith("%") else float(value)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{key}: expected a relative uncertainty (0.05 or "
                                             f"5%), got {value!r}") from None
        if not 0.0 <= number < 1.0:
            raise argparse.ArgumentTypeError(f"{key}: a relative uncertainty must be in [0, 1) "
                                             f"(0-100 %), got {value!r}")
        out[key] = number
    if not out:
        raise argparse.ArgumentTypeError("expected SOURCE=UNCERTAINTY,... (w0=5%,tau=10%)")
    return out


def _add_global(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "global fits", "Several files are fitted together with one set of parameters. Each file "
        "is a scan;\nnuisances are fitted per file, per dataset or shared (SCOPE: shared, "
        "per-file,\nper-dataset) and reported with their errors.")
    group.add_argument("--focus", type=_scope, default="shared", metavar="SCOPE",
                       help="with --center fit: one focal offset for all (shared, default: one "
                            "stage), per-file or per-dataset")
    group.add_argument("--baseline", type=_scope, nargs="?", const="per_dataset",
                       metavar="SCOPE", help="fit a baseline factor (default per-dataset)")
    group.add_argument("--tilt", type=_scope, nargs="?", const="per_dataset", metavar="SCOPE",
                       help="fit a linear baseline tilt per mm (default per-dataset)")
    group.add_argument("--energy-scale", type=_scope, nargs="?", const="per_scan",
                       metavar="SCOPE",
                       help="fit an energy calibration factor (default per-file: the first file "
                            "is the reference; shared trades off against the coefficients)")
    group.add_argument("--fit-w0", action="store_true", help="fit the beam waist w0")
    group.add_argument("--fit-aperture", type=_scope, nargs="?", const="shared",
                       metavar="SCOPE",
                       help="fit the closed-aperture datasets' linear transmittance S "
                            "(default shared)")
    group.add_argument("--T0", type=_fraction, metavar="T0", dest="transmittance",
                       help="the sample's measured linear transmittance (0.5 or 50%%), held "
                            "during the fit: it fixes sigma N (or alpha0)")
    group.add_argument("--profile", action="append", default=[], metavar="NAME",
                       help="a profile-likelihood interval for this free value (repeat for "
                            "several); with --plot its figure is written beside the fit's")
    group.add_argument("--systematics", type=_systematics, metavar="SOURCE=U,...",
                       help="propagate the set-up's relative uncertainties by refitting: "
                            "w0=5%%,tau=10%%,energy=10%%,sample_width=2%%,aperture=5%%")
    group.add_argument("--systematics-method", choices=("sensitivity", "monte_carlo"),
                       default="sensitivity",
                       help="two refits per source (default) or Monte Carlo draws")


def _energy_text(text: str) -> str:
    _energy(text)  # checked here, converted with the other options
    return text


def build_parser() -> argparse.ArgumentParser:
    from . import __version__
    from ._units import names_help

    parser = _Parser(
        prog="plix",
        description="Fit Z-scan measurements, or simulate Z-scan curves.",
        epilog=UNITS + "\n\n" + _models_help(), formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"plix {__version__}")
    verbs = parser.add_subparsers(dest="verb", metavar="{fit,simulate}", required=True,
                                  parser_class=_Parser)

    fit = verbs.add_parser(
        "fit", help="fit scan files and print the report",
        description="Fit the free parameters to the datasets of one or more scan files (taken\n"
                    "together, in order) and print the fit report (statistics, values with\n"
                    "standard errors, correlations).",
        epilog=UNITS + "\n\n" + SCAN_FILES.replace("{names}", names_help()) + "\n\nexit status: 0 converged, 1 not converged, 2 "
                       "bad input (one line on stderr).",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    fit.add_argument("scans", nargs="+", metavar="SCAN",
                     help="scan files (see 'scan files' below); give them before the options")
    _add_common(fit)
    fit.add_argument("--vary", nargs="+", action="extend", default=[], metavar="NAME",
                     help="also free these parameters (for example sigma_12 sigma_45)")
    fit.add_argument("--starts", type=_count_up_to(MAX_STARTS), default=3, metavar="N",
                     help="starting points: the file's values, then N-1 log-spaced around "
                          "them (default 3)")
    fit.add_argument("--center", choices=("fit", "extremum", "none"), default="fit",
                     help="focus: fit the focal offset in mm (default; see --focus), shift "
                          "each dataset's extremum to 0 mm, or use the positions as given")
    fit.add_argument("--coarse-factor", type=_factor, default=DEFAULT_COARSE_FACTOR,
                     metavar="K",
                     help="the starts explore on a grid chosen for an accuracy K times looser "
                          "than the model's; the best minimum is then searched again on the "
                          f"grid of the model's own (default {DEFAULT_COARSE_FACTOR:g}; 1: every "
                          "start on that grid)")
    fit.add_argument("--max-nfev", type=_count_up_to(MAX_NFEV), metavar="N",
                     help="at most N model evaluations per start (default: 200 per free "
                          "parameter and one)")
    fit.add_argument("--plot", metavar="FIG.png",
                     help="write a figure of data, model and residuals (needs matplotlib: "
                          "pip install 'plix-zscan[plot]')")
    fit.add_argument("--json", metavar="OUT.json", help="write the full result as JSON")
    fit.add_argument("--reference", metavar="PARAMS.toml",
                     help="a parameter file whose values are printed beside the fitted ones "
                          "(for example the true values of simulated data)")
    _add_global(fit)
    _add_reading(fit)
    _add_preprocessing(fit)

    sim = verbs.add_parser(
        "simulate", help="compute normalised transmittance curves",
        description="Compute the normalised transmittance at the given positions and pulse "
                    "energies and write it as a scan file.",
        epilog=UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_common(sim)
    sim.add_argument("--positions", type=_positions, required=True, metavar="START:STOP:COUNT",
                     help="sample positions in mm, ends included (for example -30:30:61)")
    sim.add_argument("--energy", type=_energy, action="append", required=True, metavar="E",
                     help="pulse energy in J, or with a unit (2.5uJ); repeat for several "
                          "curves")
    sim.add_argument("--out", metavar="CURVE.csv",
                     help="write the curves as a scan file (default: to stdout)")
    sim.add_argument("--plot", metavar="FIG.png",
                     help="write a figure of the curves (needs matplotlib: "
                          "pip install 'plix-zscan[plot]')")
    return parser


def _join_negative_values(argv: list[str]) -> list[str]:
    """``--positions -30:30:61`` as ``--positions=-30:30:61``: argparse would take the value
    for an option because it starts with '-'."""
    out, k = [], 0
    while k < len(argv):
        if argv[k] == "--positions" and k + 1 < len(argv) and argv[k + 1].startswith("-"):
            out.append(f"--positions={argv[k + 1]}")
            k += 2
            continue
        out.append(argv[k])
        k += 1
    return out


# --------------------------------------------------------------------------- inputs


def _read_inputs(args):
    from . import Model, read_parameters, read_setup

    setup, file_model = read_setup(args.setup)
    if args.model is None:
        model = file_model if file_model is not None else Model.physical()
    elif file_model is not None and file_model.kind == args.model:
        model = file_model
    elif file_model is not None and "scheme" in file_model.fields:
        # The set-up's level scheme carries over to the model asked for, where it fits.
        fresh = getattr(Model, args.model)()
        scheme = file_model.fields["scheme"]
        model = fresh.replace(scheme=scheme) if "scheme" in fresh.fields else fresh
    else:
        model = getattr(Model, args.model)()
    params = read_parameters(args.params, model)
    return setup, params, model


def _require_matplotlib(option: str) -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise InputError(f"{option} needs matplotlib: pip install 'plix-zscan[plot]'") from None


# --------------------------------------------------------------------------- progress


class _Progress:
    """One self-overwriting status line on a terminal; silent otherwise."""

    def __init__(self, stream):
        self.stream = stream
        self.enabled = stream.isatty()
        self.began = time.perf_counter()
        self.shown = False

    def update(self, text: str) -> None:
        if self.enabled:
            elapsed = time.perf_counter() - self.began
            self.stream.write(f"\r\x1b[K{text}  [{elapsed:.0f} s]")
            self.stream.flush()
            self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.stream.flush()

    def starts(self, result) -> None:
        """How each start ended, best chi-square so far, once the fit is done."""
        if not self.enabled:
            return
        best = math.inf
        n = len(result.starts)
        for k, start in enumerate(result.starts, start=1):
            best = min(best, start.chisqr)
            self.stream.write(f"start {k} of {n}: {start.nfev} evaluations, chi^2 "
                              f"{start.chisqr:.6g} ({start.status}), best so far {best:.6g}\n")
        self.stream.write(f"fit took {time.perf_counter() - self.began:.1f} s\n")


# --------------------------------------------------------------------------- verbs


def _print_warnings(caught) -> None:
    for warning in caught:
        print(f"plix: warning: {warning.message}", file=sys.stderr)


def _scan_format(args):
    """The ScanFormat of the options (over the --format file's)."""
    from dataclasses import replace

    from ._scanformat import ScanFormat, read_scan_format

    fmt = read_scan_format(args.format) if args.format else ScanFormat()
    options = {name: getattr(args, name) for name in (
        "columns", "position_unit", "transmittance_unit", "energy_unit", "power", "rep_rate",
        "aperture", "encoding", "separator") if getattr(args, name) is not None}
    if args.decimal is not None:
        options["decimal"] = {"point": ".", "comma": ","}.get(args.decimal, args.decimal)
    if args.ignore:
        options["ignore"] = fmt.ignore + tuple(args.ignore)
    if args.curve:
        options["curves"] = {**(fmt.curves or {}), **dict(args.curve)}
    for flag in ("energy_per_point", "allow_large_energy"):
        if getattr(args, flag):
            options[flag] = True
    if args.no_energy_from_name:
        options["energy_from_name"] = False
    try:
        return replace(fmt, **options)
    except (TypeError, ValueError) as error:
        raise InputError(f"reading options: {error}") from None


def _read_scans(args, normalizing: bool):
    """The datasets of every scan file, in order, and the lines to print on stderr (notes and
    warnings) once every input has been read."""
    from . import Scan, read_scan
    from ._unitchecks import RawTransmittanceWarning

    fmt = _scan_format(args)
    energies = args.energy
    if len(energies) not in (0, 1, len(args.scans)):
        raise InputError(f"--energy is given {len(energies)} times for {len(args.scans)} scan "
                         "files: give it once (for every file) or once per file")
    datasets, messages = [], []
    for k, path in enumerate(args.scans):
        energy = energies[0] if len(energies) == 1 else (energies[k] if energies else None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            scan, notes = read_scan(path, fmt, return_notes=True,
                                    **({} if energy is None else {"energy": energy}))
        for warning in caught:
            if issubclass(warning.category, RawTransmittanceWarning):
                if not normalizing:  # a raw signal cannot be fitted as it is
                    raise InputError(str(warning.message))
                continue
            messages.append(f"plix: warning: {warning.message}")
        messages.extend(f"plix: note: {path}: {note}" for note in notes)
        datasets.extend(scan)
    return Scan(datasets), messages


def _preprocessed(scan, args):
    """The scan after the preprocessing asked for, and the lines that say what was done."""
    from ._preprocess import Preprocessing, preprocess

    steps = Preprocessing(normalize=args.normalize, detilt=args.detilt, divide=args.divide,
                          wings=args.wings)
    if not steps.active:
        return scan, []
    scan, done = preprocess(scan, steps)
    return scan, [f"plix: preprocessing: {sentence}" for sentence in done]


def _nuisances(args):
    from . import Nuisances

    if args.center != "fit" and args.focus != "shared":
        raise InputError("--focus needs --center fit (the focal offsets are fitted then)")
    return Nuisances(focus=args.focus, baseline=args.baseline, tilt=args.tilt,
                     energy_scale=args.energy_scale, w0=args.fit_w0, aperture=args.fit_aperture)


def _check_profiled(args, params, nuisances, scan) -> None:
    """--profile names free values of the fit (checked before it runs)."""
    from ._nuisances import nuisance_entries

    names = list(params.free) + [e.name for e in nuisance_entries(nuisances, scan,
                                                                   args.center == "fit")
                                 if e.vary]
    unknown = [name for name in args.profile if name not in names]
    if unknown:
        raise InputError(f"--profile {unknown[0]}: not a free value of this fit; the free "
                         f"values are {', '.join(names)}")


def _print_checks(checks) -> None:
    print("plix: before the fit:", file=sys.stderr)
    for label, value in checks.rows:
        print(f"plix:   {label}: {value}", file=sys.stderr)


def _profile_path(plot: str, name: str) -> str:
    stem, dot, ext = plot.rpartition(".")
    safe = "".join(c if c.isalnum() or c in "_-" else "_" for c in name)
    return f"{stem}_profile_{safe}.{ext}" if dot else f"{plot}_profile_{safe}"


def _fit(args) -> int:
    from . import fit, read_parameters

    if args.plot:
        _require_matplotlib("--plot")
    scan, read = _read_scans(args, args.normalize or args.detilt)
    scan, done = _preprocessed(scan, args)
    setup, params, model = _read_inputs(args)
    if args.vary:
        params.vary(*args.vary)
    reference = read_parameters(args.reference, model) if args.reference else None
    if not params.free:
        raise InputError("no free parameter: give --vary NAME or 'vary = true' in "
                         f"{args.params}")
    nuisances = _nuisances(args)
    _check_profiled(args, params, nuisances, scan)
    for line in read + done:
        print(line, file=sys.stderr)
    progress = _Progress(sys.stderr)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")

        def on_checks(checks):
            progress.close()
            _print_checks(checks)
            _print_warnings(caught)
            del caught[:]
            progress.update(f"fitting {len(params.free)} parameter(s) to {len(scan)} "
                            f"dataset(s) from {args.starts} start(s)")

        progress.update("checking the inputs")
        try:
            settings = {} if args.max_nfev is None else {"max_nfev": args.max_nfev}
            result = fit(scan, setup, params, model=model, n_starts=args.starts,
                         center=args.center, threads=args.threads, nuisances=nuisances,
                         linear_transmittance=args.transmittance, on_checks=on_checks,
                         coarse_factor=args.coarse_factor, **settings)
        finally:
            progress.close()
    progress.starts(result)
    _print_warnings(caught)
    if result.success:
        for name in args.profile:
            progress.update(f"profiling {name}")
            try:
                result.profile(name)
            finally:
                progress.close()
        if args.systematics:
            progress.update("refitting for the systematic budget")
            try:
                result.systematics(method=args.systematics_method, **args.systematics)
            finally:
                progress.close()
    elif args.profile or args.systematics:
        print("plix: no profile or systematic budget: the fit did not succeed", file=sys.stderr)
    print(result.report(reference=reference))
    if args.json:
        result.to_json(args.json)
    if args.plot:
        _save_figure(result.plot(), args.plot)
        for name, found in result.profiles.items():
            _save_figure(found.plot(), _profile_path(args.plot, name))
    if not result.success:
        print(f"plix: the fit did not succeed ({result.status}: {result.message})",
              file=sys.stderr)
        return EXIT_NOT_CONVERGED
    return EXIT_OK


def _save_figure(figure, path) -> None:
    import matplotlib.pyplot as plt

    figure.savefig(path, dpi=300)
    plt.close(figure)


def _simulate(args) -> int:
    from . import Scan, simulate
    from ._io import scan_text
    from ._plotting import plot_simulation

    if args.plot:
        _require_matplotlib("--plot")
    setup, params, model = _read_inputs(args)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        curves = simulate(setup, params, args.positions, args.energy, model=model,
                          threads=args.threads)
    _print_warnings(caught)
    text = scan_text(Scan.from_arrays([args.positions] * len(args.energy), curves, args.energy))
    if args.out:
        with open(args.out, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)
    if args.plot:
        figure = plot_simulation(setup, params, args.positions, args.energy, model=model,
                                 threads=args.threads, curves=curves)
        _save_figure(figure, args.plot)
    return EXIT_OK


def _message(error: BaseException) -> str:
    if isinstance(error, KeyError) and error.args:
        return str(error.args[0])
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror or error}"
    return str(error) or type(error).__name__


def main(argv: list[str] | None = None) -> int:
    """Run the ``plix`` command with ``argv`` (default ``sys.argv[1:]``); return the status."""
    from ._io import FileFormatError

    parser = build_parser()
    args = parser.parse_args(_join_negative_values(list(sys.argv[1:] if argv is None else argv)))
    try:
        return _fit(args) if args.verb == "fit" else _simulate(args)
    except (InputError, FileFormatError, ValueError, TypeError, KeyError, OSError,
            OverflowError) as error:
        print(f"plix: error: {_message(error)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("plix: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
