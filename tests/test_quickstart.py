"""The README's main job: the quickstart prices every contract within its
tolerance, end to end, and the README's own code examples run as written."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
QUICKSTART = ROOT / "examples" / "quickstart.py"
CONTRACTS = ["4% bond", "European call", "European put", "American put", "zero-coupon bond", "callable", "buy day 1"]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def has_module(name):
    return importlib.util.find_spec(name) is not None


@pytest.fixture
def quickstart(monkeypatch):
    module_spec = importlib.util.spec_from_file_location("quickstart", QUICKSTART)
    module = importlib.util.module_from_spec(module_spec)
    # Dataclasses look their module up while the class is built.
    monkeypatch.setitem(sys.modules, "quickstart", module)
    module_spec.loader.exec_module(module)
    return module


def test_quickstart_runs_as_a_script(tmp_path):
    plot = tmp_path / "put.png"
    run = subprocess.run(
        [sys.executable, str(QUICKSTART), "--plot", str(plot)],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert run.returncode == 0, run.stdout + run.stderr
    table = run.stdout.splitlines()[2 : 2 + len(CONTRACTS)]
    for name, line in zip(CONTRACTS, table):
        assert name in line
        # Only the callable bond's reference needs QuantLib; without one it must not claim "ok".
        unchecked = name == "callable" and not has_module("QuantLib")
        assert line.endswith("  no reference" if unchecked else "  ok"), line
    assert "MISMATCH" not in run.stdout
    if has_module("matplotlib"):
        assert plot.read_bytes().startswith(PNG_SIGNATURE)
    else:
        assert not plot.exists() and "matplotlib is not installed" in run.stdout
    assert list(tmp_path.iterdir()) == ([plot] if plot.exists() else [])


def test_quickstart_without_quantlib_or_matplotlib(quickstart, tmp_path, monkeypatch, capsys):
    # A None entry makes the import fail as if the package were not installed.
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "QuantLib", None)
    plot = tmp_path / "put.png"
    assert quickstart.main(["--plot", str(plot)]) == 0
    out = capsys.readouterr().out
    assert "matplotlib is not installed" in out and not plot.exists()
    assert "binomial tree" in out
    callable_line = next(line for line in out.splitlines() if "callable" in line)
    assert "needs QuantLib" in callable_line and callable_line.endswith("  no reference")
    assert sum(line.endswith("  ok") for line in out.splitlines()) == len(CONTRACTS) - 1


def test_quickstart_fails_loudly_on_a_mismatch(quickstart, monkeypatch, capsys):
    # A wrong reference must turn the run red, not print a quiet number.
    monkeypatch.setattr(quickstart, "black_scholes", lambda *args: 0.0)
    assert quickstart.main(["--no-plot", "--no-quantlib"]) == 1
    captured = capsys.readouterr()
    assert "MISMATCH" in captured.out and "European put" in captured.err


def test_plotted_spots_are_the_engine_grid_nodes(quickstart):
    # One share paid at the valuation time is worth S at every node, so the
    # engine's PV_VEC is the grid of spots the plot puts on its x axis.
    share = [("share", quickstart.PRICING_TS, "+", 1.0, "STOCK")]
    result = quickstart.mirvon.price(share, quickstart.EQUITY_DATASET, "blackscholes", statistics=["PV_VEC"])
    assert result.price == pytest.approx(quickstart.SPOT, rel=1e-12)
    assert result.pv_vec == pytest.approx(quickstart.grid_spots(), rel=1e-12)


def test_readme_examples_run_as_written(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    text = (ROOT / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert blocks
    namespace = {}
    for n, block in enumerate(blocks):
        exec(compile(block, f"README.md python block {n}", "exec"), namespace)
