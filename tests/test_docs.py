"""The documentation site's Python examples run as written: each page's ```python blocks, in
order, in one namespace and a scratch directory of its own, as a reader of that page would run
them. A block of `>>>` lines is a doctest whose printed output must match; any other block must
run without error. (`mkdocs build --strict`, run by CI, checks the links and the API reference.)"""
import doctest
import re
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parent.parent / "docs"
if not DOCS.is_dir():
    pytest.skip("docs/ is not beside the tests", allow_module_level=True)
pytest.importorskip("atomblock")

FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.M | re.S)
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
PAGES = sorted(DOCS.glob("*.md"))


def python_blocks(text):
    """(line of the opening fence, code) of each ```python block."""
    return [(text.count("\n", 0, m.start()) + 1, m.group(2)) for m in FENCE.finditer(text) if m.group(1) == "python"]


def test_pages_have_examples_and_no_stray_fences():
    texts = {page.name: page.read_text(encoding="utf-8") for page in PAGES}
    for name, text in texts.items():  # an unclosed fence would swallow the blocks after it
        assert len(re.findall(r"^```\w", text, re.M)) == sum(1 for _ in FENCE.finditer(text)), name
    assert {name for name, text in texts.items() if python_blocks(text)} >= {"package.md", "table.md"}


@pytest.mark.parametrize("page", [p for p in PAGES if python_blocks(p.read_text(encoding="utf-8"))],
                         ids=lambda p: p.name)
def test_page_python_blocks_run(page, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": page.stem}
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=FLAGS)
    for line, code in python_blocks(page.read_text(encoding="utf-8")):
        where = f"docs/{page.name}:{line}"
        if code.lstrip().startswith(">>>"):
            test = parser.get_doctest(code, namespace, where, str(page), line)
            result = runner.run(test, clear_globs=False)
            namespace.update(test.globs)  # the test ran on a copy: later blocks see its names
            assert result.failed == 0, f"{where}: {result.failed} of {result.attempted} examples failed (above)"
        else:
            exec(compile(code, where, "exec"), namespace)
