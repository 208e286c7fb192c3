"""The five-level curves of the physical and exact-seed models, held to the values recorded
in tests/data/five_level_curves.json (made by tests/data/make_five_level_curves.py before the
models were rebuilt on level schemes): any refactoring of the models must keep them."""

import json
from pathlib import Path

import numpy as np
import pytest

import plix

RECORD = json.loads((Path(__file__).parent / "data" / "five_level_curves.json").read_text())
RELATIVE = 1e-12


def _number(value):
    return float(value) if isinstance(value, str) else value


@pytest.mark.parametrize("case", RECORD["cases"], ids=lambda c: c["name"])
def test_curve_matches_the_record(case):
    setup = plix.Setup(**RECORD["setups"][case["setup"]])
    params = plix.Parameters(**{name: _number(v) for name, v in
                                RECORD["parameters"][case["parameters"]].items()})
    fields = {k: tuple(v) if isinstance(v, list) else v for k, v in case["fields"].items()}
    model = getattr(plix.Model, case["preset"])(**fields)
    expected = np.array([[float.fromhex(v) for v in row] for row in case["curves"]])
    got = plix.simulate(setup, params, RECORD["positions_mm"], case["energies_J"], model=model,
                        threads=2)
    assert got.shape == expected.shape
    assert np.all(np.isfinite(expected))
    np.testing.assert_allclose(got, expected, rtol=RELATIVE, atol=0.0)

