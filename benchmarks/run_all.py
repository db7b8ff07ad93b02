"""Run every benchmark script and print one summary table of their figures.

Convention for the scripts in this folder: besides whatever they print for a
human reader, each benchmark prints its headline figures as lines of the form

    RESULT <name>: <value> <unit>

for example

    RESULT fd_price american put 200x365 ours: 1.84 ms
    RESULT fd_price american put 200x365 speed vs QuantLib: 4.1 x

<name> must not contain ": "; <value> is one token (a number as a rule);
<unit> is the rest of the line and may be empty. run_all.py runs each
benchmarks/*.py except itself in its own process, one after the other (so
that they do not compete for the cores), collects those lines and prints them
as one table under a header naming the machine (CPU model, cores) and the
versions of Python, NumPy, pyarrow, QuantLib and this package. A script that
fails, times out or prints no RESULT line is reported with the end of its
output instead.

    pip install ".[bench]"
    python benchmarks/run_all.py [--timeout SECONDS] [--markdown] [NAME ...]

NAME selects scripts by file name without .py (default: all of them).
Figures are wall-clock times: on a shared machine expect noise.
"""

from __future__ import annotations

import argparse
import os
import platform
import subprocess
import sys
import time
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path
from typing import Optional

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
PREFIX = "RESULT "
PACKAGES = ["numpy", "pyarrow", "QuantLib", "scipy", "matplotlib", "mirvon-basic"]


@dataclass
class Result:
    name: str
    value: str
    unit: str


@dataclass
class Run:
    script: str
    seconds: float
    status: str  # "ok", "exit N", "timeout"
    results: list[Result] = field(default_factory=list)
    tail: list[str] = field(default_factory=list)


def parse_results(output: str) -> list[Result]:
    """The RESULT lines of a benchmark's output, in order."""
    results = []
    for line in output.splitlines():
        if not line.startswith(PREFIX):
            continue
        name, sep, rest = line[len(PREFIX):].rpartition(": ")
        if not sep or not name.strip():
            continue
        value, _, unit = rest.strip().partition(" ")
        results.append(Result(name.strip(), value, unit.strip()))
    return results


def discover(selected: list[str]) -> list[Path]:
    scripts = sorted(p for p in HERE.glob("*.py") if p.resolve() != Path(__file__).resolve())
    if selected:
        unknown = set(selected) - {p.stem for p in scripts}
        if unknown:
            raise SystemExit(f"no benchmark named {', '.join(sorted(unknown))}; have {', '.join(p.stem for p in scripts)}")
        scripts = [p for p in scripts if p.stem in selected]
    return scripts


def run_script(script: Path, timeout: float) -> Run:
    start = time.perf_counter()
    try:
        done = subprocess.run(
            [sys.executable, str(script)], cwd=ROOT, capture_output=True, text=True, timeout=timeout
        )
    except subprocess.TimeoutExpired as exc:
        output = exc.stdout if isinstance(exc.stdout, str) else (exc.stdout or b"").decode(errors="replace")
        return Run(script.stem, time.perf_counter() - start, "timeout", parse_results(output), output.splitlines()[-5:])
    elapsed = time.perf_counter() - start
    status = "ok" if done.returncode == 0 else f"exit {done.returncode}"
    results = parse_results(done.stdout)
    tail: list[str] = []
    if status != "ok":
        tail = (done.stdout + done.stderr).splitlines()[-8:]
    elif not results:
        # Until a script follows the convention, show what it printed.
        tail = done.stdout.splitlines()[-40:]
    return Run(script.stem, elapsed, status, results, tail)


def cpu_model() -> str:
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine() or "unknown"


def core_counts() -> str:
    logical = os.cpu_count() or 0
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = logical
    return f"{logical} logical" + (f", {usable} usable by this process" if usable != logical else "")


def version(package: str) -> str:
    try:
        return metadata.version(package)
    except metadata.PackageNotFoundError:
        return "not installed"


def header_lines() -> list[str]:
    versions = ", ".join(f"{p} {version(p)}" for p in PACKAGES)
    return [
        f"machine: {cpu_model()} ({core_counts()} cores), {platform.system()} {platform.release()}",
        f"python {platform.python_version()}, {versions}",
    ]


def table(runs: list[Run], markdown: bool) -> list[str]:
    header = ("benchmark", "figure", "value", "unit")
    body = [(run.script, r.name, r.value, r.unit) for run in runs for r in run.results]
    if markdown:
        lines = ["| " + " | ".join(header) + " |", "|---|---|---:|---|"]
        return lines + ["| " + " | ".join(row) + " |" for row in body]
    rows = [header] + body
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    lines = []
    for n, row in enumerate(rows):
        cells = [c.rjust(w) if i == 2 else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
        if n == 0:
            lines.append("  ".join("-" * w for w in widths))
    return lines


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description="Run every benchmark and summarise its RESULT lines.")
    parser.add_argument("names", nargs="*", help="benchmarks to run (file names without .py)")
    parser.add_argument("--timeout", type=float, default=1800.0, help="seconds allowed per benchmark")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    args = parser.parse_args(argv)

    scripts = discover(args.names)
    runs = []
    for script in scripts:
        print(f"running {script.name} ...", file=sys.stderr, flush=True)
        runs.append(run_script(script, args.timeout))

    print("\n".join(header_lines()))
    print("figures are wall-clock times on a possibly shared machine: expect noise\n")
    print("\n".join(table(runs, args.markdown)))
    print()
    for run in runs:
        note = "" if run.results else ", no RESULT lines"
        print(f"{run.script}: {run.status} in {run.seconds:.1f} s{note}")
        for line in run.tail:
            print(f"    {line}")
    return 0 if all(run.status == "ok" for run in runs) else 1


if __name__ == "__main__":
    sys.exit(main())
