"""Text and dictionary forms of a fit result."""

from __future__ import annotations

import numpy as np

__all__ = ["format_report", "summary_line", "result_to_dict"]


def summary_line(result) -> str:
    """One line: converged or not, chi-square, free values."""
    free = ", ".join(f"{n}={v:.5g}" for n, v in zip(result.var_names, result.values))
    state = "converged" if result.success else "NOT converged"
    return f"FitResult({state}, chisqr={result.chisqr:.6g}, nfev={result.nfev}, {free})"


def format_report(result) -> str:
    """Fit statistics and the free values with their standard errors."""
    lines = [summary_line(result), f"status: {result.status}: {result.message}",
             f"ndata={result.ndata} nvarys={result.nvarys} nfree={result.nfree} "
             f"redchi={result.redchi:.6g}"]
    for i, name in enumerate(result.var_names):
        lines.append(f"  {name} = {result.values[i]:.6g} +/- "
                     f"{np.sqrt(result.covariance[i, i]):.3g}")
    return "\n".join(lines)


def result_to_dict(result) -> dict:
    """The scalar statistics and free values as plain Python types."""
    return {
        "success": bool(result.success), "status": result.status, "message": result.message,
        "chisqr": float(result.chisqr), "redchi": float(result.redchi),
        "ndata": int(result.ndata), "nvarys": int(result.nvarys), "nfree": int(result.nfree),
        "nfev": int(result.nfev), "var_names": list(result.var_names),
        "values": [float(v) for v in result.values],
        "covariance": np.asarray(result.covariance).tolist(),
    }
