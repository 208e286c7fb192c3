"""Import of plix_wrapper: module identity, attributes, interpreter and NumPy checks."""

import builtins
import ctypes
import importlib
import os
import subprocess
import sys
import textwrap
import types

import numpy
import pytest

import plix_wrapper

MODULE_DIR = os.path.dirname(plix_wrapper.__file__)


def run_fresh(script):
    """Runs script in a new interpreter process that finds plix_wrapper; returns stdout."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


# --- module identity -----------------------------------------------------------------

class TestModuleIdentity:
    def test_second_import_gives_same_object(self):
        assert importlib.import_module("plix_wrapper") is plix_wrapper

    def test_import_after_removal_from_sys_modules_gives_same_object(self):
        before = dict(vars(plix_wrapper))
        del sys.modules["plix_wrapper"]
        try:
            again = importlib.import_module("plix_wrapper")
        finally:
            sys.modules["plix_wrapper"] = plix_wrapper
        assert again is plix_wrapper
        assert again.fit_zscan is before["fit_zscan"]
        assert again.np is before["np"] and again.__test__ is before["__test__"]

    def test_reload_gives_same_object_with_same_attributes(self):
        before = dict(vars(plix_wrapper))
        assert importlib.reload(plix_wrapper) is plix_wrapper
        for name in ("fit_zscan", "np", "__test__", "__builtins__"):
            assert vars(plix_wrapper)[name] is before[name]

    def test_exec_on_another_module_object_is_refused(self):
        get_def = ctypes.pythonapi.PyModule_GetDef
        get_def.argtypes, get_def.restype = [ctypes.py_object], ctypes.c_void_p
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes, exec_def.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_int
        definition = get_def(plix_wrapper)
        assert exec_def(plix_wrapper, definition) == 0  # the module itself: nothing to do
        with pytest.raises(RuntimeError) as info:
            exec_def(types.ModuleType("plix_wrapper"), definition)
        assert str(info.value) == ("Module 'plix_wrapper' has already been imported. "
                                   "Re-initialisation is not supported.")

    def test_second_interpreter_is_refused_and_first_keeps_working(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create()
        try:
            with pytest.raises(interpreters.RunFailedError) as info:
                interpreters.run_string(interp, textwrap.dedent(f"""
                    import sys
                    sys.path.insert(0, {MODULE_DIR!r})
                    import plix_wrapper
                """))
        finally:
            interpreters.destroy(interp)
        report = str(info.value)
        assert "ImportError" in report
        assert report.endswith(": Interpreter change detected - this module can only be loaded "
                               "into one interpreter per process.")
        with pytest.raises(TypeError, match="takes at least 15"):
            plix_wrapper.fit_zscan()


# --- module attributes ---------------------------------------------------------------

class TestModuleAttributes:
    def test_bound_globals(self):
        assert plix_wrapper.np is numpy
        assert plix_wrapper.__builtins__ is builtins
        assert type(plix_wrapper.__test__) is dict and plix_wrapper.__test__ == {}
        assert plix_wrapper.__doc__ is None

    def test_exec_binds_in_order(self):
        names = list(vars(plix_wrapper))
        bound = ["__builtins__", "np", "fit_zscan", "__test__"]
        assert [n for n in names if n in bound] == bound
        assert names[-4:] == bound

    def test_spec_attributes(self):
        spec = plix_wrapper.__spec__
        assert plix_wrapper.__name__ == "plix_wrapper"
        assert plix_wrapper.__file__ == spec.origin
        assert plix_wrapper.__loader__ is spec.loader
        assert plix_wrapper.__package__ == ""
        assert not hasattr(plix_wrapper, "__path__")

    def test_create_step_with_partial_and_package_specs(self):
        out = run_fresh("""
            import _imp, importlib.util, importlib.machinery, sys, types
            path = importlib.machinery.PathFinder.find_spec("plix_wrapper").origin

            class BadSpec:
                name = "plix_wrapper"
                origin = path
                @property
                def loader(self):
                    raise ValueError("loader exploded")
            try:
                _imp.create_dynamic(BadSpec())
            except ValueError as e:
                print("bad:", e)

            # Only name and origin: the other attributes are skipped.
            bare = types.SimpleNamespace(name="plix_wrapper", origin=path)
            module = _imp.create_dynamic(bare)
            print("bare:", module.__file__ == path, module.__loader__, module.__package__,
                  hasattr(module, "__path__"))

            # A spec with search locations gives a __path__; that object is then the module.
            spec = importlib.util.spec_from_file_location(
                "plix_wrapper", path, submodule_search_locations=["somewhere"])
            module = importlib.util.module_from_spec(spec)
            print("path:", module.__path__, module.__package__)
            sys.modules["plix_wrapper"] = module
            spec.loader.exec_module(module)
            import plix_wrapper
            print("same:", plix_wrapper is module, importlib.util.module_from_spec(spec) is module)
        """)
        assert out.splitlines() == [
            "bad: loader exploded",
            "bare: True None None False",
            "path: ['somewhere'] plix_wrapper",
            "same: True True",
        ]

    def test_no_version_warning_on_the_target_python(self):
        out = run_fresh("""
            import warnings
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import plix_wrapper
            print([str(w.message) for w in caught if w.category is RuntimeWarning])
        """)
        major, minor = sys.version_info[:2]
        if (major, minor) == (3, 11):
            assert out.strip() == "[]"
        else:
            assert out.strip() == str([
                "compile time Python version 3.11 of module 'plix_wrapper' does not match "
                f"runtime version {major}.{minor}"])


# --- NumPy C-API import --------------------------------------------------------------

# Builds a fake C-API table whose entries 0, 210 and 211 return the given values and
# installs it as _ARRAY_API of a stand-in for numpy._core._multiarray_umath.
FAKE_TABLE = """
import ctypes, sys, types, traceback
import numpy

UINT = ctypes.CFUNCTYPE(ctypes.c_uint)
INT = ctypes.CFUNCTYPE(ctypes.c_int)
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
keep = []

def fake_capsule(abi=0x2000000, feature=0x12, endian=1, name=None):
    entries = [UINT(lambda: abi), INT(lambda: endian), UINT(lambda: feature)]
    table = (ctypes.c_void_p * 212)()
    for index, entry in zip((0, 210, 211), entries):
        table[index] = ctypes.cast(entry, ctypes.c_void_p).value
    keep.append((entries, table))
    return capsule_new(ctypes.addressof(table), name, None)

real_core = sys.modules["numpy._core._multiarray_umath"]

def install(**attributes):
    stub = types.ModuleType("numpy._core._multiarray_umath")
    stub.__dict__.update(attributes)
    sys.modules["numpy._core._multiarray_umath"] = stub

def try_import():
    try:
        import plix_wrapper
    except ImportError as e:
        ctx = e.__context__
        entries = [f.name for f in traceback.extract_tb(e.__traceback__)]
        print(f"{e}|{type(ctx).__name__}: {ctx}|{e.__cause__}|{'init plix_wrapper' in entries}")
        return None
    print("ok")
    return plix_wrapper
"""


def run_with_fake_numpy(body):
    return run_fresh(FAKE_TABLE + textwrap.dedent(body)).splitlines()


WRAPPED = "numpy._core.multiarray failed to import"


class TestNumpyApiImport:
    def test_valid_fake_table_is_accepted(self):
        assert run_with_fake_numpy("""
            install(_ARRAY_API=fake_capsule())
            try_import()
        """) == ["ok"]

    @pytest.mark.parametrize("settings, context", [
        ("abi=0x2000001",
         "RuntimeError: module compiled against ABI version 0x2000000 but this version of "
         "numpy is 0x2000001"),
        ("feature=0xf",
         "RuntimeError: module was compiled against NumPy C-API version 0x10 (NumPy 1.23) but "
         "the running NumPy has C-API version 0xf. Check the section C-API incompatibility at "
         "the Troubleshooting ImportError section at "
         "https://numpy.org/devdocs/user/troubleshooting-importerror.html"
         "#c-api-incompatibility for indications on how to solve this problem."),
        ("endian=0", "RuntimeError: FATAL: module compiled as unknown endian"),
        ("endian=2", "RuntimeError: FATAL: module compiled as little endian, but detected "
                     "different endianness at runtime"),
        ("name=b'other'", "RuntimeError: _ARRAY_API is NULL pointer"),
    ])
    def test_table_checks_fail_the_import(self, settings, context):
        assert run_with_fake_numpy(f"""
            install(_ARRAY_API=fake_capsule({settings}))
            try_import()
        """) == [f"{WRAPPED}|{context}|None|True"]

    def test_older_abi_and_newer_feature_level_pass(self):
        assert run_with_fake_numpy("""
            install(_ARRAY_API=fake_capsule(abi=0x1000009, feature=0x10))
            try_import()
        """) == ["ok"]

    def test_not_a_capsule(self):
        assert run_with_fake_numpy("""
            install(_ARRAY_API=12)
            try_import()
        """) == [f"{WRAPPED}|RuntimeError: _ARRAY_API is not PyCapsule object|None|True"]

    def test_missing_capsule(self):
        out = run_with_fake_numpy("""
            install()
            try_import()
        """)
        assert len(out) == 1 and out[0].startswith(f"{WRAPPED}|AttributeError: ")
        assert "_ARRAY_API" in out[0] and out[0].endswith("|None|True")

    def test_non_exception_passes_unwrapped(self):
        assert run_with_fake_numpy("""
            def __getattr__(name):
                raise KeyboardInterrupt("stop")
            install(__getattr__=__getattr__)
            try:
                import plix_wrapper
            except KeyboardInterrupt as e:
                print("KeyboardInterrupt", e)
        """) == ["KeyboardInterrupt stop"]

    def test_numpy1_layout_fallback(self):
        assert run_with_fake_numpy("""
            sys.modules["numpy._core._multiarray_umath"] = None  # no numpy._core
            fallback = types.ModuleType("numpy.core._multiarray_umath")
            fallback._ARRAY_API = fake_capsule(feature=0xf)
            sys.modules["numpy.core._multiarray_umath"] = fallback
            try_import()
            fallback._ARRAY_API = real_core._ARRAY_API
            try_import()
        """) == [
            f"{WRAPPED}|RuntimeError: module was compiled against NumPy C-API version 0x10 "
            "(NumPy 1.23) but the running NumPy has C-API version 0xf. Check the section C-API "
            "incompatibility at the Troubleshooting ImportError section at "
            "https://numpy.org/devdocs/user/troubleshooting-importerror.html"
            "#c-api-incompatibility for indications on how to solve this problem.|None|True",
            "ok",
        ]

    def test_failed_import_can_be_retried(self):
        assert run_with_fake_numpy("""
            install(_ARRAY_API=fake_capsule(abi=0x3000000))
            try_import()
            print("plix_wrapper" in sys.modules)
            sys.modules["numpy._core._multiarray_umath"] = real_core
            module = try_import()
            import importlib
            print(importlib.import_module("plix_wrapper") is module, module.np is numpy,
                  module.__test__, module.fit_zscan.__globals__ is vars(module))
        """) == [
            f"{WRAPPED}|RuntimeError: module compiled against ABI version 0x2000000 but this "
            "version of numpy is 0x3000000|None|True",
            "False",
            "ok",
            "True True {} True",
        ]
