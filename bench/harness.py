"""Paired sampling and the report table.

The machine is shared and its load changes while a run goes on, so the two
sides of a comparison are never measured one after the other: their samples
alternate (module, baseline, baseline, module, ...), each sample is short, and
the ratio is taken within each pair, where both sides saw much the same load.
Each row reports the median of each side, the median of the pair ratios, and
for each the spread: half the interquartile range, relative to the median.

Work done inside this process is timed in CPU time of this thread, which
leaves out the time that other processes on the machine hold the CPU; work
done by child processes is timed by the wall clock, since waiting for them
is the cost.
"""

from __future__ import annotations

import statistics
from dataclasses import dataclass
from typing import Callable


@dataclass
class Series:
    values: list[float]

    @property
    def median(self) -> float:
        return statistics.median(self.values)

    @property
    def spread(self) -> float:
        """Half the interquartile range, as a fraction of the median."""
        if len(self.values) < 2:
            return 0.0
        q1, _, q3 = statistics.quantiles(self.values, n=4, method="inclusive")
        return (q3 - q1) / 2 / self.median


@dataclass
class Target:
    """What the module/baseline ratio must satisfy, or with `of_module` the
    module's own median, in the row's unit.  With neither bound the row only
    reports its figures."""
    low: float | None = None
    high: float | None = None
    of_module: bool = False

    def met(self, value: float) -> bool:
        return ((self.low is None or value >= self.low) and
                (self.high is None or value <= self.high))

    @property
    def given(self) -> bool:
        return self.low is not None or self.high is not None

    def __str__(self) -> str:
        if not self.given:
            return "-"
        prefix = "module " if self.of_module else ""
        if self.low is not None and self.high is not None:
            return f"{prefix}{self.low:.2f}-{self.high:.2f}"
        if self.low is not None:
            return f"{prefix}>= {self.low:.2f}"
        return f"{prefix}<= {self.high:.2f}"


@dataclass
class Comparison:
    module: Series
    baseline: Series

    @property
    def ratios(self) -> Series:
        """module/baseline within each pair."""
        return Series([m / b for m, b in zip(self.module.values, self.baseline.values)])

    def inverted(self) -> Comparison:
        """The same samples as rates: times per unit become units per time."""
        return Comparison(Series([1 / v for v in self.module.values]),
                          Series([1 / v for v in self.baseline.values]))

    def scaled(self, factor: float) -> Comparison:
        """The same samples in another unit: each multiplied by `factor`."""
        return Comparison(Series([v * factor for v in self.module.values]),
                          Series([v * factor for v in self.baseline.values]))


@dataclass
class Row:
    name: str
    unit: str
    comparison: Comparison
    baseline_name: str
    target: Target

    @property
    def ratio(self) -> float:
        return self.comparison.ratios.median

    @property
    def met(self) -> bool:
        judged = self.comparison.module.median if self.target.of_module else self.ratio
        return self.target.met(judged)


def paired(measure_module: Callable[[], float], measure_baseline: Callable[[], float],
           pairs: int, warmup: int = 1) -> Comparison:
    """`pairs` samples of each side, alternating, after `warmup` unrecorded ones."""
    for _ in range(warmup):
        measure_module()
        measure_baseline()
    module, baseline = [], []
    for i in range(pairs):
        if i % 2 == 0:
            module.append(measure_module())
            baseline.append(measure_baseline())
        else:
            baseline.append(measure_baseline())
            module.append(measure_module())
    return Comparison(Series(module), Series(baseline))


def per_call(time_loops: Callable[[int], float], sample_seconds: float,
             scale: float) -> Callable[[], float]:
    """A sampler giving the time of one call, in `scale` units, averaged over
    enough calls that one sample takes about `sample_seconds`."""
    loops = 1
    while True:
        elapsed = time_loops(loops)
        if elapsed >= sample_seconds / 4:
            break
        loops *= 4
    loops = max(1, round(loops * sample_seconds / elapsed))
    return lambda: time_loops(loops) / loops * scale


def format_value(value: float) -> str:
    if value >= 10_000:
        return f"{value:,.0f}"
    return f"{value:.4g}"


def table(rows: list[Row]) -> str:
    header = ("Benchmark", "Unit", "Module", "Baseline", "Compared with", "Ratio", "Target", "Met")
    lines = [header]
    for row in rows:
        module, baseline, ratios = row.comparison.module, row.comparison.baseline, row.comparison.ratios
        lines.append((
            row.name,
            row.unit,
            f"{format_value(module.median)} ±{module.spread:.1%}",
            f"{format_value(baseline.median)} ±{baseline.spread:.1%}",
            row.baseline_name,
            f"{ratios.median:.3f} ±{ratios.spread:.1%}",
            str(row.target),
            ("yes" if row.met else "NO") if row.target.given else "-",
        ))
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    numeric = {2, 3, 5}

    def render(line: tuple[str, ...]) -> str:
        cells = [cell.rjust(w) if i in numeric else cell.ljust(w)
                 for i, (cell, w) in enumerate(zip(line, widths))]
        return "| " + " | ".join(cells) + " |"

    rule = "|" + "|".join(("-" * (w + 1) + ":" if i in numeric else "-" * (w + 2))
                          for i, w in enumerate(widths)) + "|"
    return "\n".join([render(lines[0]), rule] + [render(line) for line in lines[1:]])
