"""The README's Python examples run as written: its ```python blocks, in order, in one namespace
and a scratch directory, as a reader following the README would run them. A block of `>>>`
lines is a doctest whose printed output must match; any other block must run without error."""
import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parent.parent / "README.md"
if not README.is_file():
    pytest.skip("README.md is not beside the tests", allow_module_level=True)
pytest.importorskip("atomblock")

FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.M | re.S)
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE


def python_blocks(text):
    """(line of the opening fence, code) of each ```python block."""
    return [(text.count("\n", 0, m.start()) + 1, m.group(2)) for m in FENCE.finditer(text) if m.group(1) == "python"]


def test_fences_are_all_found():
    text = README.read_text(encoding="utf-8")
    opening = len(re.findall(r"^```\w", text, re.M))
    assert opening == sum(1 for _ in FENCE.finditer(text)) and len(python_blocks(text)) >= 8


def test_readme_python_blocks_run(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "readme"}
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=FLAGS)
    for line, code in python_blocks(README.read_text(encoding="utf-8")):
        where = f"README.md:{line}"
        if code.lstrip().startswith(">>>"):
            test = parser.get_doctest(code, namespace, where, str(README), line)
            assert test.examples, where
            result = runner.run(test, clear_globs=False)
            namespace.update(test.globs)  # the test ran on a copy: later blocks see its names
            assert result.failed == 0, f"{where}: {result.failed} of {result.attempted} examples failed (above)"
        else:
            exec(compile(code, where, "exec"), namespace)
