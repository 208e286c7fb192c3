"""plix.Parameters and plix.Parameter: names and order, fit settings, copies, errors."""

import doctest
import importlib
import math

import numpy as np
import pytest

import plix

NAMES = ("sigma_12", "sigma_23", "sigma_45", "lifetime_21", "lifetime_24", "lifetime_32",
         "lifetime_41", "lifetime_54")
VALUES = (1e-21, 5e-21, 8e-21, 2e-9, 5e-9, 1e-12, 1e-6, 1e-12)


def make():
    return plix.Parameters(*VALUES)


class TestOrderAndAccess:
    def test_as_array_is_spec_pars_order(self):
        # Keywords in a scrambled order land in the positional order of fit_zscan's spec_pars.
        p = plix.Parameters(**dict(reversed(list(zip(NAMES, VALUES)))))
        a = p.as_array()
        assert a.dtype == np.float64 and a.shape == (8,)
        assert tuple(a) == VALUES
        assert p.names == NAMES
        assert [q.name for q in p] == list(NAMES)
        assert p.values() == dict(zip(NAMES, VALUES))

    def test_indexing_membership_length(self):
        p = make()
        assert len(p) == 8
        assert p["lifetime_32"].value == 1e-12 and p["lifetime_32"].name == "lifetime_32"
        assert "sigma_45" in p and "sigma_44" not in p and 3 not in p
        assert p["sigma_23"] is p["sigma_23"]  # the object itself, changes stick
        p["sigma_23"].value = 7e-21
        assert p.as_array()[1] == 7e-21

    def test_from_array_round_trip(self):
        for values in (np.array(VALUES), list(VALUES), np.array(VALUES, dtype=np.float32)):
            p = plix.Parameters.from_array(values)
            assert np.array_equal(p.as_array(), np.asarray(values, dtype=np.float64))
        with pytest.raises(ValueError, match="8 numbers"):
            plix.Parameters.from_array(VALUES[:7])
        with pytest.raises(ValueError, match="8 numbers"):
            plix.Parameters.from_array(np.ones((2, 8)))

    def test_as_array_is_a_copy(self):
        p = make()
        a = p.as_array()
        a[0] = 99.0
        assert p["sigma_12"].value == VALUES[0]

    def test_infinite_lifetime_allowed(self):
        p = plix.Parameters(*VALUES[:4], math.inf, *VALUES[5:])
        assert p["lifetime_24"].value == math.inf and np.isposinf(p.as_array()[4])
        p["lifetime_41"].value = math.inf
        assert p["lifetime_41"].value == math.inf

    @pytest.mark.parametrize("name", ["sigma_13", "Sigma_12", "", 0, None])
    def test_unknown_name_is_a_key_error_listing_valid_names(self, name):
        p = make()
        with pytest.raises(KeyError) as info:
            p[name]
        message = info.value.args[0]
        assert repr(name) in message
        assert all(valid in message for valid in NAMES)


class TestFitSettings:
    def test_defaults(self):
        for q in make():
            assert (q.vary, q.min, q.max, q.stderr) == (False, 0.0, math.inf, None)
        assert make().free == ()

    def test_vary_and_fix_several(self):
        p = make()
        assert p.vary("sigma_45", "sigma_23") is p
        assert p.free == ("sigma_23", "sigma_45")  # in parameter order
        assert p.fix("sigma_23").free == ("sigma_45",)
        p["lifetime_21"].vary = True
        assert p.free == ("sigma_45", "lifetime_21")

    def test_vary_with_an_unknown_name_changes_nothing(self):
        p = make()
        with pytest.raises(KeyError, match="sigma_99"):
            p.vary("sigma_23", "sigma_99")
        assert p.free == ()
        p.vary("sigma_12")
        with pytest.raises(KeyError, match="nope"):
            p.fix("sigma_12", "nope")
        assert p.free == ("sigma_12",)

    def test_bounds_settable_and_checked(self):
        q = make()["sigma_23"]
        q.min, q.max = 1e-22, 1e-20
        assert (q.min, q.max) == (1e-22, 1e-20)
        q.check_bounds()
        q.max = 1e-21  # below the value: allowed one at a time, refused by the check
        with pytest.raises(ValueError, match="^sigma_23.value .* outside its bounds"):
            q.check_bounds()
        q.min = 1e-20
        with pytest.raises(ValueError, match=r"^sigma_23: min .* less than max"):
            q.check_bounds()

    def test_set_is_all_or_nothing(self):
        q = make()["lifetime_21"]
        assert q.set(value=3e-9, vary=True, min=1e-9, max=1e-8) is q
        assert (q.value, q.vary, q.min, q.max) == (3e-9, True, 1e-9, 1e-8)
        with pytest.raises(ValueError, match="^lifetime_21"):
            q.set(value=5e-8, vary=False)
        assert (q.value, q.vary) == (3e-9, True)
        with pytest.raises(ValueError, match="^lifetime_21"):
            q.set(min=1e-7)
        assert q.min == 1e-9

    @pytest.mark.parametrize("field, value, error", [
        ("value", math.nan, ValueError), ("value", "1e-21", TypeError),
        ("value", None, TypeError), ("value", -math.inf, ValueError),
        ("value", math.inf, ValueError),  # a cross-section must be finite
        ("vary", 1, TypeError), ("vary", "yes", TypeError),
        ("min", math.nan, ValueError), ("min", math.inf, ValueError),
        ("max", -math.inf, ValueError), ("max", "big", TypeError),
    ])
    def test_bad_field_values_name_the_parameter(self, field, value, error):
        q = make()["sigma_12"]
        before = (q.value, q.vary, q.min, q.max)
        with pytest.raises(error, match=f"^sigma_12.{field}"):
            setattr(q, field, value)
        assert (q.value, q.vary, q.min, q.max) == before

    def test_stderr_is_read_only(self):
        q = make()["sigma_12"]
        with pytest.raises(AttributeError):
            q.stderr = 1.0
        with pytest.raises(AttributeError):
            q.name = "sigma_23"
        with pytest.raises(AttributeError):
            q.extra = 1  # no stray attributes: a typo like q.valu = ... fails loudly


class TestCopies:
    def test_copy_is_independent(self):
        p = make().vary("sigma_23")
        p["sigma_23"]._set_stderr(2e-22)
        twin = p.copy()
        assert twin == p and twin is not p
        assert twin["sigma_23"].stderr == 2e-22
        twin["sigma_23"].value = 1.0e-20
        twin["sigma_23"].max = 1.0
        twin.vary("sigma_45").fix("sigma_23")
        assert p["sigma_23"].value == 5e-21 and p["sigma_23"].max == math.inf
        assert p.free == ("sigma_23",)
        assert twin != p

    def test_equality_covers_every_field(self):
        for change in (lambda q: setattr(q, "value", 6e-21), lambda q: setattr(q, "vary", True),
                       lambda q: setattr(q, "min", 1e-30), lambda q: setattr(q, "max", 1.0),
                       lambda q: q._set_stderr(1e-22)):
            p = make()
            change(p["sigma_23"])
            assert p != make()

    def test_repr_lists_every_parameter(self):
        p = make().vary("sigma_45")
        p["sigma_45"].min = 1e-22
        text = repr(p)
        for name, value in zip(NAMES, VALUES):
            assert f"{name}={value!r}" in text
        assert "sigma_45=8e-21 m^2 vary bounds=[1e-22, inf]" in text
        assert "lifetime_21=2e-09 s fixed" in text


class TestDocumentation:
    @pytest.mark.parametrize("obj", [plix.Setup, plix.Parameters, plix.Parameter, plix.Model,
                                     plix.simulate, plix.SimulationInfo, plix.Model.seed,
                                     plix.Model.physical, plix.Model.replace,
                                     plix.Parameters.vary, plix.Parameters.as_array])
    def test_public_names_have_numpydoc_docstrings(self, obj):
        doc = obj.__doc__ or ""
        assert len(doc.strip()) > 40
        if isinstance(obj, type) or obj is plix.simulate:
            assert "Parameters\n    ----------" in doc or "Attributes\n    ----------" in doc

    def test_units_are_documented(self):
        assert "m^2" in plix.Parameters.__doc__ and " s" in plix.Parameters.__doc__
        assert "in m" in plix.Setup.__doc__ and "m^-3" in plix.Setup.__doc__
        assert "in mm" in plix.simulate.__doc__ and "in J" in plix.simulate.__doc__

    @pytest.mark.parametrize("module", ["_setup", "_parameters", "_model", "_simulate"])
    def test_examples_run(self, module):
        result = doctest.testmod(importlib.import_module(f"plix.{module}"),
                                 optionflags=doctest.ELLIPSIS)
        assert result.failed == 0 and result.attempted > 0
