"""The committed Unicode tables are exactly what the generator makes from the
installed Unicode Character Database."""
import os
import subprocess
import sys

import pytest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
GENERATOR = os.path.join(ROOT, "tools", "gen_unicode_tables.py")
COMMITTED = os.path.join(ROOT, "src", "reader", "unicode_tables.cpp")
UCD_DIR = "/usr/share/unicode"


@pytest.mark.skipif(not os.path.exists(os.path.join(UCD_DIR, "UnicodeData.txt")),
                    reason="Unicode Character Database not installed")
@pytest.mark.skipif(not (os.path.exists(GENERATOR) and os.path.exists(COMMITTED)),
                    reason="needs the source tree (generator and committed tables)")
def test_regenerated_tables_match_committed_file(tmp_path):
    out = tmp_path / "unicode_tables.cpp"
    subprocess.run([sys.executable, GENERATOR, "--ucd-dir", UCD_DIR, "--output", str(out)],
                   check=True, timeout=120)
    with open(COMMITTED, encoding="utf-8") as f:
        committed = f.read()
    assert out.read_text(encoding="utf-8") == committed
    assert "Database 15.0.0" in committed.splitlines()[2]
