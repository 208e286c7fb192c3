"""write_scan then read_scan: datasets stay apart and every value comes back bit for bit."""

import numpy as np
import pytest

import plix
from plix import FileFormatError


def awkward(rng, n):
    """Doubles whose shortest decimals are long."""
    return rng.normal(0.0, 1.0, n) / 3.0 + 1.0


def assert_same(a: plix.Dataset, b: plix.Dataset):
    assert b.energy_J == a.energy_J and b.aperture == a.aperture
    for field in ("positions_mm", "transmittance", "sigma", "point_energies_J"):
        x, y = getattr(a, field), getattr(b, field)
        assert (x is None) == (y is None), field
        if x is not None:
            assert np.array_equal(x, y), field


def test_two_datasets_at_one_energy_apertures_and_point_energies(tmp_path):
    rng = np.random.default_rng(3)
    x = np.linspace(-15.0, 15.0, 7) + 0.1
    energy = 1.0 / 3.0 * 1e-6
    datasets = [
        plix.Dataset(x, awkward(rng, 7), energy),                                # open
        plix.Dataset(x, awkward(rng, 7), energy, sigma=rng.uniform(1e-3, 1e-2, 7)),  # open again
        plix.Dataset(x, awkward(rng, 7), energy, aperture=0.1 + 0.2),            # closed
        plix.Dataset(x[::-1], awkward(rng, 7), energy * (1 + rng.normal(0, 0.05, 7)),
                     aperture=1 / 7),                                              # per point
        plix.Dataset(x, awkward(rng, 7), 2e-6),
    ]
    path = tmp_path / "round.csv"
    plix.write_scan(path, plix.Scan(datasets))
    back = plix.read_scan(path)
    assert len(back) == len(datasets)
    for a, b in zip(datasets, back):
        assert_same(a, b)


def test_a_written_scan_is_read_as_written_by_an_older_reader_layout(tmp_path):
    """Without the dataset column (today's files) datasets are told apart by energy."""
    x = np.arange(6.0)
    scan = plix.Scan.from_arrays([x, x], [x * 0 + 0.9, x * 0 + 0.8], [1e-6, 2e-6])
    path = tmp_path / "plain.csv"
    plix.write_scan(path, scan)
    lines = path.read_text().splitlines()
    assert lines[1] == "dataset,position_mm,transmittance,energy_J"
    stripped = tmp_path / "stripped.csv"
    stripped.write_text("\n".join(line.split(",", 1)[1] for line in lines[1:]) + "\n")
    for a, b in zip(scan, plix.read_scan(stripped)):
        assert_same(a, b)


def test_a_dataset_cannot_mix_its_energy_with_point_energies(tmp_path):
    path = tmp_path / "mixed.csv"
    path.write_text("dataset,position_mm,transmittance,energy_J,point_energy_J\n"
                    + "1,0,1,1e-6,\n" * 3 + "1,1,1,,1.1e-6\n")
    with pytest.raises(FileFormatError) as caught:
        plix.read_scan(path)
    assert caught.value.line == 5 and "one or the other" in str(caught.value)
    path.write_text("dataset,position_mm,transmittance,energy_J,point_energy_J\n"
                    "1,0,1,1e-6,1e-6\n")
    with pytest.raises(FileFormatError, match="leave one of them empty"):
        plix.read_scan(path)
