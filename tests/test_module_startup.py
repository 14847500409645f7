"""Module start-up: attributes, docstrings, re-import, interpreters, NumPy laziness."""
import inspect
import textwrap

import pytest

import _atomblock

from conftest import run_python


def test_module_attributes():
    assert _atomblock.__doc__ == ""
    assert _atomblock.__all__ == ["write_atoms_rs", "read_atom_lines_rs"]
    assert not hasattr(_atomblock, "PanicException")


@pytest.mark.parametrize(
    "name, signature, doc_start, doc_end",
    [
        (
            "read_atom_lines_rs",
            "(lines, col_types)",
            "Parse `natoms` atom lines, returning a Python dict with keys:\n"
            "  'floats' \u2192 ndarray shape (natoms, n_float_cols), dtype float64\n",
            "Raises `ValueError` if any line cannot be parsed according to `col_types`.",
        ),
        (
            "write_atoms_rs",
            "(sym_codepoints, sym_width, float_mat, int_mat, bool_mat, col_types)",
            "Build the complete extxyz atom block (all `natoms` lines) as a Python str.\n\n"
            "Replaces the Python loop `for i in range(natoms): fileobj.write(fmt % tuple(data[i]))`.\n",
            "  ord('b') \u2192 next column from `bool_mat`   (' %.1s' \u2192 \"  T\" / \"  F\")\n"
            "\n`float_mat`, `int_mat`, `bool_mat` may have 0 columns.",
        ),
    ],
)
def test_function_metadata(name, signature, doc_start, doc_end):
    func = getattr(_atomblock, name)
    assert func.__name__ == name
    assert func.__module__ == "_atomblock"
    assert func.__self__ is _atomblock
    assert func.__text_signature__ == signature
    assert func.__doc__.startswith(doc_start)
    assert func.__doc__.endswith(doc_end)
    params = inspect.signature(func).parameters
    assert "(" + ", ".join(params) + ")" == signature
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in params.values()
    )


def test_read_docstring_whole():
    expected = (
        "Parse `natoms` atom lines, returning a Python dict with keys:\n"
        "  'floats' \u2192 ndarray shape (natoms, n_float_cols), dtype float64\n"
        "  'ints'   \u2192 ndarray shape (natoms, n_int_cols),   dtype int64\n"
        "  'bools'  \u2192 ndarray shape (natoms, n_bool_cols),  dtype uint8 (0/1)\n"
        "  'strs'   \u2192 Python list of lists of str, one sub-list per string column\n"
        "\n"
        "`col_types` is a bytes/list of ints, one per token per line:\n"
        "  b'f'=102 \u2192 float, b'i'=105 \u2192 int, b's'=115 \u2192 string, b'b'=98 \u2192 bool\n"
        "\n"
        "Raises `ValueError` if any line cannot be parsed according to `col_types`."
    )
    assert _atomblock.read_atom_lines_rs.__doc__ == expected


def test_reimport_returns_cached_module():
    code = textwrap.dedent(
        """
        import sys, _atomblock
        first = _atomblock
        first.marker = 42
        first.__all__.append("extra")
        del sys.modules["_atomblock"]
        import _atomblock as second
        assert second is first, "not the same object"
        assert second.marker == 42
        assert second.__all__ == ["write_atoms_rs", "read_atom_lines_rs", "extra"]
        print("ok")
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_import_leaves_numpy_unimported():
    proc = run_python("import sys, _atomblock; print('numpy' in sys.modules)")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "False"


def test_failed_parse_does_not_import_numpy():
    code = textwrap.dedent(
        """
        import sys, _atomblock
        try:
            _atomblock.read_atom_lines_rs(["H x"], b"sf")
        except ValueError as e:
            print(e)
        print("numpy" in sys.modules)
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ['row 0: cannot parse "x" as float: invalid float literal', "False"]


_SUBINTERPRETER = textwrap.dedent(
    """
    import _atomblock
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        print("absent")
        raise SystemExit(0)
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, "import _atomblock")
    except Exception as e:
        print("refused", type(e).__name__, e)
    else:
        print("accepted")
    # The main interpreter's module keeps working.
    print(_atomblock.read_atom_lines_rs(["H"], b"s")["strs"])
    """
)


def test_subinterpreter_import_is_refused():
    proc = run_python(_SUBINTERPRETER)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    if lines[0] == "absent":
        pytest.skip("_xxsubinterpreters is not available on this Python")
    assert lines[0].startswith("refused")
    assert "ImportError" in lines[0]
    assert lines[1] == "[['H']]"


def test_without_numpy_and_retry_once_it_is_importable():
    code = textwrap.dedent(
        """
        import sys
        sys.modules["numpy"] = None  # makes `import numpy` fail
        import _atomblock

        def outcome(call):
            try:
                call()
            except BaseException as e:
                return type(e).__name__ + ": " + str(e)
            return "ok"

        # The first argument is not even an array: NumPy is needed first.
        print(outcome(lambda: _atomblock.write_atoms_rs(None, 2, None, None, None, b"")))
        print(outcome(lambda: _atomblock.read_atom_lines_rs(["H 1", "O x"], b"sf")))
        print(outcome(lambda: _atomblock.read_atom_lines_rs(["H 1", "O 2"], b"sf")))
        del sys.modules["numpy"]  # a later call tries again and succeeds
        print(_atomblock.read_atom_lines_rs(["H 1", "O 2"], b"sf")["floats"].tolist())
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].startswith("PanicException: Failed to access NumPy array API capsule: ")
    assert "ImportError" in lines[0] or "ModuleNotFoundError" in lines[0]
    assert lines[1] == 'ValueError: row 1: cannot parse "x" as float: invalid float literal'
    assert lines[2].startswith("PanicException: Failed to access NumPy array API capsule: ")
    assert lines[3] == "[[1.0], [2.0]]"


@pytest.mark.parametrize(
    "major, package, api, expected",
    [
        ("1", "numpy.core", "api", "[[1]]"),
        ("2", "numpy._core", "api", "[[1]]"),
        ("2", "numpy._core", "42", "PanicException: Failed to access NumPy array API capsule: "
                                   "TypeError: 'int' object cannot be converted to 'PyCapsule'"),
        ("300", "numpy._core", "api", "PanicException: Failed to access NumPy array API capsule: "
                                      "OverflowError: out of range integral type conversion attempted"),
        # the type name reaches the panic message whole, NUL included
        ("2", "numpy._core", 'type("C", (), {"__qualname__": "C\\x00D"})()',
         "PanicException: Failed to access NumPy array API capsule: "
         "TypeError: 'C\x00D' object cannot be converted to 'PyCapsule'"),
    ],
)
def test_core_package_follows_numpy_major_version(major, package, api, expected):
    # A stand-in numpy package whose multiarray module records the import.
    code = textwrap.dedent(
        f"""
        import sys, types, importlib.machinery
        import numpy as real
        api = (real._core if hasattr(real, "_core") else real.core).multiarray._ARRAY_API
        for name in list(sys.modules):
            if name == "numpy" or name.startswith("numpy."):
                del sys.modules[name]
        fake = types.ModuleType("numpy"); fake.__version__ = "{major}.99.0"; fake.__path__ = []
        lib = types.ModuleType("numpy.lib")
        class NumpyVersion:
            def __init__(self, v): self.major = int(v.split(".")[0])
        lib.NumpyVersion = NumpyVersion
        core = types.ModuleType("{package}"); core.__path__ = []
        multiarray = types.ModuleType("{package}.multiarray"); multiarray._ARRAY_API = {api}
        sys.modules.update({{"numpy": fake, "numpy.lib": lib, "{package}": core,
                            "{package}.multiarray": multiarray}})
        import _atomblock
        try:
            print(_atomblock.read_atom_lines_rs(["1"], b"i")["ints"].tolist())
        except BaseException as e:
            print(type(e).__name__ + ": " + str(e))
        """
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == expected
