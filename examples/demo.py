"""Smoke demo: read an atom block, write it back, and check the round trip."""
import numpy as np

import _atomblock

lines = ["H 0.0 1.5 -2.25 7 T", "O 1 2 3 8 F", "Si -0.125 1e-3 42 9 True"]
result = _atomblock.read_atom_lines_rs(lines, b"sfffib")
symbols = np.array(result["strs"][0])
text = _atomblock.write_atoms_rs(
    symbols.view(np.uint32).reshape(len(lines), -1), 2,
    result["floats"], result["ints"], result["bools"], b"sfffib")
print(text, end="")
again = _atomblock.read_atom_lines_rs(text.splitlines(), b"sfffib")
assert all(np.array_equal(result[k], again[k]) for k in ("floats", "ints", "bools"))
assert again["strs"] == result["strs"]
print("round trip ok")
