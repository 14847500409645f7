"""Smoke test of the whole-file benchmark bench/bench_files.py: a quick run completes, its
cross-checks pass (both contenders read and write the same data) and the JSON is complete."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

BENCH_FILES = Path(__file__).resolve().parent.parent / "bench" / "bench_files.py"
atomblock = pytest.importorskip("atomblock")
if not BENCH_FILES.is_file() or not hasattr(atomblock, "write"):
    pytest.skip("bench/ or the atomblock package API is missing", allow_module_level=True)


def test_quick_run_writes_complete_json(tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(os.path.dirname(os.path.abspath(atomblock.__file__))),
                                         env.get("PYTHONPATH", "")])
    out = tmp_path / "files.json"
    proc = subprocess.run([sys.executable, str(BENCH_FILES), "--quick", "--size-mb", "2", "--json", str(out),
                           "--dir", str(tmp_path)], capture_output=True, text=True, env=env, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    res = json.loads(out.read_text())
    assert res["faults"] == []
    assert {(r["workload"], r["op"], r["contender"]) for r in res["results"]} == {
        (w, op, c) for w in ("big", "small") for op, c in [
            ("read", "atomblock"), ("read", "atomblock workers=2"), ("read", "old example"),
            ("write", "atomblock"), ("write", "atomblock workers=2"), ("write", "old example")]}
    assert all(r["seconds"] > 0 for r in res["results"])
    assert len(res["targets"]) == 10 and all(t["result"] in ("PASS", "FAIL") for t in res["targets"])
    assert res["last_frame"]["same_last_frame"] and res["last_frame"]["frames"] >= 2
    assert [m["mode"] for m in res["memory"]] == ["read", "iread"]
    assert "gzip" in [g["decoder"] for g in res["gzip"]]
    assert all(g["frames"] == res["last_frame"]["frames"] for g in res["gzip"])
    assert all("error" not in m and m["arrays_bytes"] > 0 for m in res["memory"]), res["memory"]
    assert "targets (informational):" in proc.stdout
