"""Measured Z-scans: one :class:`Dataset` per curve (a pulse energy, an aperture, a repeat),
collected in a :class:`Scan`."""

from __future__ import annotations

import math
from collections.abc import Iterator

import numpy as np

__all__ = ["Dataset", "Scan"]


def _vector(values, name: str, unit: str) -> np.ndarray:
    try:
        array = np.array(values, dtype=np.float64, copy=True)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a sequence of real numbers") from None
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    bad = np.flatnonzero(~np.isfinite(array))
    if bad.size:
        raise ValueError(f"{name}[{bad[0]}] must be finite ({unit}), got {array[bad[0]]!r}")
    array.flags.writeable = False
    return array


class Dataset:
    """One Z-scan at one pulse energy, through an open or a closed aperture.

    Parameters
    ----------
    positions_mm : array_like
        Sample positions along the beam in mm (any order, not necessarily centred).
    transmittance : array_like
        Normalised transmittance at each position.
    energy_J : float or array_like
        Pulse energy in J; or one energy per position (measured pulse by pulse), each point
        then modelled at its own energy.
    sigma : array_like or None, optional
        Standard uncertainty of each transmittance value (same unit); None (default) means
        unknown: the points are weighted equally and the uncertainties of a fit are scaled
        by its reduced chi-square.
    aperture : float or None, optional
        None (default): open aperture, all the transmitted light is detected. Otherwise the
        linear transmittance S of the far-field aperture, in (0, 1).
    label : str or None, optional
        The scan (measurement run) the dataset belongs to, for example the file it came
        from: datasets with one label share the nuisances a fit gives per scan (a focus
        offset, a baseline); unlabelled datasets count as one scan. :func:`plix.read_scan`
        labels each dataset with its file's name.

    Notes
    -----
    The arrays are copied and read-only. Raises ``ValueError`` naming the argument for
    non-finite values, lengths that differ, a non-positive energy, a sigma <= 0 or an
    aperture outside (0, 1).
    """

    __slots__ = ("_positions", "_transmittance", "_energy", "_point_energies", "_sigma",
                 "_aperture", "_label")

    def __init__(self, positions_mm, transmittance, energy_J, sigma=None,
                 aperture=None, label=None) -> None:
        self._positions = _vector(positions_mm, "positions_mm", "mm")
        self._transmittance = _vector(transmittance, "transmittance", "normalised")
        if self._positions.size != self._transmittance.size:
            raise ValueError(f"transmittance has {self._transmittance.size} values but "
                             f"positions_mm has {self._positions.size}")
        if self._positions.size == 0:
            raise ValueError("positions_mm must not be empty")
        if np.ndim(energy_J) == 0:
            try:
                energy = float(energy_J)
            except (TypeError, ValueError):
                raise TypeError(f"energy_J must be a number or one per position, got "
                                f"{type(energy_J).__name__}") from None
            if not (math.isfinite(energy) and energy > 0.0):
                raise ValueError(f"energy_J must be positive and finite (J), got {energy!r}")
            self._energy = energy
            self._point_energies = None
        else:
            energies = _vector(energy_J, "energy_J", "J")
            if energies.size != self._positions.size:
                raise ValueError(f"energy_J has {energies.size} values but positions_mm has "
                                 f"{self._positions.size}; give one energy or one per position")
            bad = np.flatnonzero(~(energies > 0.0))
            if bad.size:
                raise ValueError(f"energy_J[{bad[0]}] must be positive (J), got "
                                 f"{energies[bad[0]]!r}")
            self._point_energies = energies
            self._energy = float(np.median(energies))
        if aperture is None:
            self._aperture = None
        else:
            try:
                s = float(aperture)
            except (TypeError, ValueError):
                raise TypeError(f"aperture must be None or a number in (0, 1), got "
                                f"{type(aperture).__name__}") from None
            if not 0.0 < s < 1.0:
                raise ValueError(f"aperture must be None (open) or the aperture's linear "
                                 f"transmittance in (0, 1), got {s!r}")
            self._aperture = s
        if sigma is None:
            self._sigma = None
        else:
            s = _vector(sigma, "sigma", "transmittance")
            if s.size != self._positions.size:
                raise ValueError(f"sigma has {s.size} values but positions_mm has "
                                 f"{self._positions.size}")
            bad = np.flatnonzero(~(s > 0.0))
            if bad.size:
                raise ValueError(f"sigma[{bad[0]}] must be positive, got {s[bad[0]]!r}")
            self._sigma = s
        if label is not None and not isinstance(label, str):
            raise TypeError(f"label must be a str or None, got {type(label).__name__}")
        self._label = label

    def with_label(self, label) -> "Dataset":
        """This dataset under another label (the arrays are shared: they are read-only)."""
        if label is not None and not isinstance(label, str):
            raise TypeError(f"label must be a str or None, got {type(label).__name__}")
        twin = Dataset.__new__(Dataset)
        for name in Dataset.__slots__:
            object.__setattr__(twin, name, getattr(self, name))
        twin._label = label
        return twin

    @property
    def label(self) -> str | None:
        """The scan this dataset belongs to (str), or None."""
        return self._label

    @property
    def positions_mm(self) -> np.ndarray:
        """Positions in mm (read-only array)."""
        return self._positions

    @property
    def transmittance(self) -> np.ndarray:
        """Normalised transmittance (read-only array)."""
        return self._transmittance

    @property
    def energy_J(self) -> float:
        """Pulse energy in J (with one energy per point, their median)."""
        return self._energy

    @property
    def point_energies_J(self) -> np.ndarray | None:
        """The energy of each point in J (read-only array), or None when the dataset has one
        energy."""
        return self._point_energies

    @property
    def aperture(self) -> float | None:
        """None for an open aperture, else the aperture's linear transmittance S."""
        return self._aperture

    @property
    def sigma(self) -> np.ndarray | None:
        """Uncertainty of each transmittance value, or None."""
        return self._sigma

    def __len__(self) -> int:
        return int(self._positions.size)

    def __reduce__(self):
        # Made again from its arguments, so that the copy's arrays are read-only too (a
        # pickled array comes back writeable).
        energy = self._energy if self._point_energies is None else self._point_energies
        return (Dataset, (self._positions, self._transmittance, energy, self._sigma,
                          self._aperture))

    def __repr__(self) -> str:
        sigma = "None" if self._sigma is None else f"<{self._sigma.size} values>"
        energy = (repr(self._energy) if self._point_energies is None
                  else f"<{self._point_energies.size} values, median {self._energy!r}>")
        aperture = "" if self._aperture is None else f", aperture={self._aperture!r}"
        label = "" if self._label is None else f", label={self._label!r}"
        return (f"Dataset(<{len(self)} points, {self._positions.min():g} .. "
                f"{self._positions.max():g} mm>, energy_J={energy}, sigma={sigma}{aperture}"
                f"{label})")


class Scan:
    """The datasets of one measurement: one per curve (pulse energy, aperture, repeat).

    Parameters
    ----------
    datasets : iterable of Dataset
        At least one. Datasets may differ in positions and number of points.

    Examples
    --------
    >>> scan = Scan.from_arrays([[-1, 0, 1]], [[1.0, 0.9, 1.0]], [1e-3])
    >>> len(scan)
    1
    """

    __slots__ = ("_datasets",)

    def __init__(self, datasets) -> None:
        items = tuple(datasets)
        if not items:
            raise ValueError("datasets must hold at least one Dataset")
        for k, d in enumerate(items):
            if not isinstance(d, Dataset):
                raise TypeError(f"datasets[{k}] must be a plix.Dataset, got {type(d).__name__}")
        self._datasets = items

    @classmethod
    def from_arrays(cls, positions_mm, transmittance, energies_J, sigma=None,
                    apertures=None) -> "Scan":
        """A scan from one entry per dataset in each argument.

        Parameters
        ----------
        positions_mm, transmittance : sequence of array_like
            Per dataset, positions in mm and normalised transmittance (a 2-D array gives one
            dataset per row).
        energies_J : sequence of float
            Pulse energy of each dataset in J.
        sigma : sequence of array_like or None, optional
            Per dataset, the uncertainties or None.
        apertures : sequence of float or None, optional
            Per dataset, the aperture's linear transmittance or None (open); default all
            open.

        Raises
        ------
        ValueError
            When the arguments hold different numbers of datasets, or a dataset is invalid
            (the message names the dataset).
        """
        positions = list(positions_mm)
        values = list(transmittance)
        energies = list(np.atleast_1d(np.asarray(energies_J, dtype=object)))
        sigmas = [None] * len(positions) if sigma is None else list(sigma)
        openings = [None] * len(positions) if apertures is None else list(apertures)
        for name, seq in (("transmittance", values), ("energies_J", energies),
                          ("sigma", sigmas), ("apertures", openings)):
            if len(seq) != len(positions):
                raise ValueError(f"{name} has {len(seq)} datasets but positions_mm has "
                                 f"{len(positions)}")
        datasets = []
        for k, args in enumerate(zip(positions, values, energies, sigmas, openings)):
            try:
                datasets.append(Dataset(*args))
            except (TypeError, ValueError) as error:
                raise type(error)(f"dataset {k}: {error}") from None
        return cls(datasets)

    @property
    def datasets(self) -> tuple[Dataset, ...]:
        """The datasets in order."""
        return self._datasets

    @property
    def energies(self) -> np.ndarray:
        """Pulse energy of each dataset in J."""
        return np.array([d.energy_J for d in self._datasets])

    def __len__(self) -> int:
        return len(self._datasets)

    def __iter__(self) -> Iterator[Dataset]:
        return iter(self._datasets)

    def __getitem__(self, index: int) -> Dataset:
        return self._datasets[index]

    def __repr__(self) -> str:
        return f"Scan({len(self)} datasets, energies_J={self.energies.tolist()!r})"
