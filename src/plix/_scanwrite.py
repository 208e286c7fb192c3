"""Writing scan files that :func:`plix.read_scan` reads back bit for bit."""

from __future__ import annotations

from pathlib import Path

__all__ = ["scan_text", "write_scan"]


def scan_text(scan) -> str:
    """The text of a scan file for the datasets of ``scan`` (see :func:`write_scan`)."""
    datasets = list(scan)
    with_sigma = any(d.sigma is not None for d in datasets)
    per_point = any(d.point_energies_J is not None for d in datasets)
    closed = any(d.aperture is not None for d in datasets)
    columns = (["dataset", "position_mm", "transmittance", "energy_J"]
               + (["point_energy_J"] if per_point else []) + (["sigma"] if with_sigma else [])
               + (["aperture"] if closed else []))
    described = ["position (mm)", "normalised transmittance", "pulse energy (J)"]
    if per_point:
        described.append("the point's own pulse energy (J)")
    if with_sigma:
        described.append("standard uncertainty of the transmittance")
    if closed:
        described.append("aperture linear transmittance (empty: open)")
    lines = [f"# Z-scan: dataset, {', '.join(described)}", ",".join(columns)]
    for label, d in enumerate(datasets, start=1):
        points = d.point_energies_J
        energy = "" if points is not None else repr(float(d.energy_J))
        aperture = "" if d.aperture is None else repr(float(d.aperture))
        for k, (x, y) in enumerate(zip(d.positions_mm, d.transmittance)):
            fields = [str(label), repr(float(x)), repr(float(y)), energy]
            if per_point:
                fields.append("" if points is None else repr(float(points[k])))
            if with_sigma:
                fields.append("" if d.sigma is None else repr(float(d.sigma[k])))
            if closed:
                fields.append(aperture)
            lines.append(",".join(fields))
    return "\n".join(lines) + "\n"


def write_scan(path, scan):
    """Write a scan in the format :func:`read_scan` reads (comma separated, exact floats).

    One row per point, with a ``dataset`` column that keeps datasets apart (two scans at
    one energy stay two). Every value is written as the shortest decimal that reads back
    to the same double, so a written scan reads back bit for bit: positions,
    transmittance, energies (a ``point_energy_J`` column for datasets with one energy per
    point, their ``energy_J`` left empty), ``sigma`` when any dataset has uncertainties
    (empty for those without) and ``aperture`` when any dataset is closed-aperture (empty
    for open ones).

    Parameters
    ----------
    path : str or os.PathLike
        The file to write (replaced if it exists).
    scan : plix.Scan
        The datasets.
    """
    Path(path).write_text(scan_text(scan), encoding="utf-8")
