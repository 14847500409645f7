"""The type stub _atomblock.pyi agrees with the live module and is installed as the stub-only
package _atomblock-stubs (which mypy and pyright both find) beside it."""
import ast
import inspect
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import _atomblock

SOURCE_STUB = Path(__file__).resolve().parent.parent / "src" / "_atomblock" / "_atomblock.pyi"
INSTALLED_STUB = Path(_atomblock.__file__).parent / "_atomblock-stubs" / "__init__.pyi"
SITE_DIRS = {Path(sysconfig.get_paths()[k]).resolve() for k in ("purelib", "platlib")}
IS_INSTALLED = Path(_atomblock.__file__).resolve().parent in SITE_DIRS


def stub_path():
    for path in (SOURCE_STUB, INSTALLED_STUB):
        if path.is_file():
            return path
    pytest.skip("no _atomblock.pyi: neither a source tree nor an installed stub")


@pytest.fixture(scope="module")
def stub():
    tree = ast.parse(stub_path().read_text(encoding="utf-8"))
    functions = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    names = next(
        ast.literal_eval(n.value) for n in tree.body
        if isinstance(n, ast.Assign) and [t.id for t in n.targets] == ["__all__"]
    )
    return functions, classes, names


def test_stub_declares_exactly_the_public_functions(stub):
    functions, _, names = stub
    assert names == _atomblock.__all__
    assert sorted(functions) == sorted(_atomblock.__all__)


@pytest.mark.parametrize("name", ["read_atom_lines_rs", "write_atoms_rs"])
def test_parameters_match_text_signature(stub, name):
    args = stub[0][name].args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg or args.defaults)
    live = inspect.signature(getattr(_atomblock, name)).parameters
    assert [a.arg for a in args.args] == list(live)
    assert all(a.annotation is not None for a in args.args), "every parameter is annotated"


def test_result_typeddict_matches_a_real_read(stub):
    _, classes, _ = stub
    typed = classes["AtomColumns"]
    assert [ast.unparse(b) for b in typed.bases] == ["TypedDict"]
    assert ast.unparse(stub[0]["read_atom_lines_rs"].returns) == "AtomColumns"
    fields = {n.target.id: ast.unparse(n.annotation) for n in typed.body if isinstance(n, ast.AnnAssign)}
    result = _atomblock.read_atom_lines_rs(["H 1.5 2 T", "O -1 3 F"], b"sfib")
    assert list(fields) == list(result)
    for key in ("floats", "ints", "bools"):
        assert fields[key] == f"npt.NDArray[np.{result[key].dtype.name}]"
        assert type(result[key]) is np.ndarray
    assert fields["strs"] == "list[list[str]]" and result["strs"] == [["H", "O"]]


def test_write_accepts_the_declared_array_dtypes_only(stub):
    annotations = {a.arg: ast.unparse(a.annotation) for a in stub[0]["write_atoms_rs"].args.args}
    declared = {}
    for param, text in annotations.items():
        if text.startswith("npt.NDArray[np."):
            declared[param] = np.dtype(text[len("npt.NDArray[np."):-1])
    assert sorted(declared) == ["bool_mat", "float_mat", "int_mat", "sym_codepoints"]
    assert annotations["sym_width"] == "SupportsIndex"
    args = {p: np.zeros((1, 1), dt) for p, dt in declared.items()}
    args.update(sym_width=2, col_types=b"sfib")
    assert _atomblock.write_atoms_rs(**args).endswith("  F\n")
    for param, dt in declared.items():
        other = np.dtype(np.float32 if dt != np.float32 else np.float64)
        with pytest.raises(TypeError, match=f"^argument '{param}': "):
            _atomblock.write_atoms_rs(**{**args, param: args[param].astype(other)})


def test_stub_installed_next_to_module():
    if not IS_INSTALLED:
        pytest.skip(f"_atomblock is not installed in site-packages ({_atomblock.__file__})")
    assert INSTALLED_STUB.is_file(), f"no _atomblock-stubs package beside {_atomblock.__file__}"
    if SOURCE_STUB.is_file():
        assert INSTALLED_STUB.read_bytes() == SOURCE_STUB.read_bytes()
