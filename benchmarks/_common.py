"""Helpers shared by the benchmark scripts: machine description, memory probes,
medians and Markdown tables."""

from __future__ import annotations

import gc
import os
import platform
import resource
import statistics
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
RESULTS = HERE / "results"


def results_dir(quick: bool) -> Path:
    """Full runs write the committed results; quick smoke runs an ignored subdirectory."""
    d = RESULTS / "quick" if quick else RESULTS
    d.mkdir(parents=True, exist_ok=True)
    return d

MB = 1_000_000          # throughput is reported in decimal megabytes per second
MIB = 1 << 20           # memory is reported in MiB


def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo", encoding="utf-8", errors="replace"):
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    cores = os.cpu_count()
    try:
        usable = len(os.sched_getaffinity(0))
    except AttributeError:
        usable = cores
    py = f"{platform.python_implementation()} {platform.python_version()}"
    return f"{cpu}, {cores} logical cores ({usable} usable), {py}, {platform.system()} {platform.release()}"


def _status_kib(field: str) -> int | None:
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


class PeakProbe:
    """Peak resident memory added by a block of code, in KiB.

    On Linux the process's high-water mark (VmHWM) is reset to the current
    resident size by writing "5" to /proc/self/clear_refs, so the peak reached
    inside the block is measured exactly, as VmHWM after it minus VmRSS before it.
    Where that is not possible, ru_maxrss after the block minus the resident size
    before it is used; that figure is a lower bound when an earlier peak of the
    process was higher than the block's."""

    def __enter__(self) -> "PeakProbe":
        gc.collect()
        self.method = "VmHWM reset"
        self.before = _status_kib("VmRSS")
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            self.method = "ru_maxrss delta"
        if self.before is None:
            self.before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            self.method = "ru_maxrss delta"
        return self

    def __exit__(self, *exc) -> None:
        peak = _status_kib("VmHWM") if self.method == "VmHWM reset" else None
        if peak is None:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        self.peak_kib = peak
        self.delta_kib = max(0, peak - self.before)


def process_peak_kib() -> int:
    """The whole process's peak resident memory so far, in KiB."""
    v = _status_kib("VmHWM")
    return v if v is not None else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def median(xs):
    return statistics.median(xs)


def fmt_rate(x: float) -> str:
    if x >= 100:
        return f"{x:,.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.2f}"


def fmt_count(x: float) -> str:
    if x >= 1e6:
        return f"{x / 1e6:.2f} M"
    if x >= 1e3:
        return f"{x / 1e3:.1f} k"
    return f"{x:.0f}"


def md_table(header: list[str], rows: list[list[str]], align: str | None = None) -> str:
    align = align or "l" + "r" * (len(header) - 1)
    sep = ["---:" if a == "r" else ":---" for a in align]
    lines = ["| " + " | ".join(header) + " |", "| " + " | ".join(sep) + " |"]
    lines += ["| " + " | ".join(c.replace("|", "\\|") for c in r) + " |" for r in rows]
    return "\n".join(lines) + "\n"


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)
