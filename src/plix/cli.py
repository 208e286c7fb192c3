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

EXIT_OK, EXIT_NOT_CONVERGED, EXIT_BAD_INPUT = 0, 1, 2
EXIT_INTERRUPTED = 130  # the shell's convention for SIGINT

UNITS = """units: positions in mm, pulse energies in J; in the set-up file wavelength, w0 (beam
waist radius at 1/e^2) and sample_width in m, tau (pulse half-width at 1/e) in s,
populations in m^-3; in the parameter file each parameter in its SI unit (cross-sections in
m^2, lifetimes in s; the report lists every unit)."""


def _models_help() -> str:
    from ._model import kind_summary, model_kinds

    return "models:\n" + "\n".join(f"  {k:<10} {kind_summary(k)}" for k in model_kinds())


class InputError(Exception):
    """Bad input from the command line or the files it names: reported in one line."""


# --------------------------------------------------------------------------- parsing


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def _energy(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a pulse energy in J, got {text!r}") from None
    if not (math.isfinite(value) and value > 0.0):
        raise argparse.ArgumentTypeError(f"a pulse energy must be positive and finite (J), "
                                         f"got {text!r}")
    return value


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


def build_parser() -> argparse.ArgumentParser:
    from . import __version__

    parser = argparse.ArgumentParser(
        prog="plix",
        description="Fit Z-scan measurements, or simulate Z-scan curves.",
        epilog=UNITS + "\n\n" + _models_help(), formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"plix {__version__}")
    verbs = parser.add_subparsers(dest="verb", metavar="{fit,simulate}", required=True)

    fit = verbs.add_parser(
        "fit", help="fit a scan file and print the report",
        description="Fit the free parameters to a scan file and print the fit report "
                    "(statistics, values with standard errors, correlations).",
        epilog=UNITS + "\n\nscan file: a CSV with the columns position_mm, transmittance, "
                       "energy_J and optionally sigma\n(comma, tab or whitespace separated, "
                       "'#' comments); one dataset per pulse energy.\n\nexit status: 0 "
                       "converged, 1 not converged, 2 bad input.",
        formatter_class=argparse.RawDescriptionHelpFormatter)
    fit.add_argument("scan", metavar="SCAN.csv", help="the measurements (see below)")
    _add_common(fit)
    fit.add_argument("--vary", nargs="+", action="extend", default=[], metavar="NAME",
                     help="also free these parameters (for example sigma_12 sigma_45)")
    fit.add_argument("--starts", type=_positive_int, default=3, metavar="N",
                     help="starting points: the file's values, then N-1 log-spaced around "
                          "them (default 3)")
    fit.add_argument("--center", choices=("extremum", "none", "fit"), default="extremum",
                     help="focus: shift each dataset's extremum to 0 mm (default), use the "
                          "positions as given, or fit a common focal offset in mm")
    fit.add_argument("--max-nfev", type=_positive_int, metavar="N",
                     help="at most N model evaluations per start (default: 200 per free "
                          "parameter and one)")
    fit.add_argument("--plot", metavar="FIG.png",
                     help="write a figure of data, model and residuals (needs matplotlib: "
                          "pip install 'plix-zscan[plot]')")
    fit.add_argument("--json", metavar="OUT.json", help="write the full result as JSON")
    fit.add_argument("--reference", metavar="PARAMS.toml",
                     help="a parameter file whose values are printed beside the fitted ones "
                          "(for example the true values of simulated data)")

    sim = verbs.add_parser(
        "simulate", help="compute normalised transmittance curves",
        description="Compute the normalised transmittance at the given positions and pulse "
                    "energies and write it as a scan file.",
        epilog=UNITS, formatter_class=argparse.RawDescriptionHelpFormatter)
    _add_common(sim)
    sim.add_argument("--positions", type=_positions, required=True, metavar="START:STOP:COUNT",
                     help="sample positions in mm, ends included (for example -30:30:61)")
    sim.add_argument("--energy", type=_energy, action="append", required=True, metavar="E",
                     help="pulse energy in J; repeat for several curves")
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


def _fit(args) -> int:
    from . import fit, read_parameters, read_scan
    from ._report import format_report

    if args.plot:
        _require_matplotlib("--plot")
    scan = read_scan(args.scan)
    setup, params, model = _read_inputs(args)
    if args.vary:
        params.vary(*args.vary)
    reference = read_parameters(args.reference, model) if args.reference else None
    if not params.free:
        raise InputError("no free parameter: give --vary NAME or 'vary = true' in "
                         f"{args.params}")
    progress = _Progress(sys.stderr)
    progress.update(f"fitting {len(params.free)} parameter(s) to {len(scan)} dataset(s) "
                    f"from {args.starts} start(s)")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            settings = {} if args.max_nfev is None else {"max_nfev": args.max_nfev}
            result = fit(scan, setup, params, model=model, n_starts=args.starts,
                         center=args.center, threads=args.threads, **settings)
        finally:
            progress.close()
    progress.starts(result)
    _print_warnings(caught)
    print(format_report(result, reference=reference))
    if args.json:
        result.to_json(args.json)
    if args.plot:
        _save_figure(result.plot(), args.plot)
    if not result.success:
        print(f"plix: the fit did not converge ({result.status}: {result.message})",
              file=sys.stderr)
        return EXIT_NOT_CONVERGED
    return EXIT_OK


def _save_figure(figure, path) -> None:
    import matplotlib.pyplot as plt

    figure.savefig(path, dpi=300)
    plt.close(figure)


def _simulate(args) -> int:
    from . import simulate
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
    rows = [(args.positions, curve, energy, None) for curve, energy in zip(curves, args.energy)]
    text = scan_text(rows)
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
    except (InputError, FileFormatError, ValueError, TypeError, KeyError, OSError) as error:
        print(f"plix: error: {_message(error)}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("plix: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
