# SPDX-License-Identifier: LGPL-2.1-or-later
"""The figure of a comparison (matplotlib, imported when a plot is asked for)."""

from __future__ import annotations

import numpy as np


def _bands(results, column):
    """t, and 5/50/95 % of a trajectory column over the results of one length."""
    runs = [r for r in results if r is not None]
    if not runs:
        return None
    n = runs[0].t.shape[0]
    stack = np.array([r.trajectory[:, column] for r in runs if r.t.shape[0] == n])
    return runs[0].t[:, 0], np.percentile(stack, [5, 50, 95], axis=0), runs[0].trajectory[:, 0]


def comparison_figure(comparison, metrics, path=None):
    import matplotlib

    if path is not None:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [m for m in metrics if m in comparison.metrics and comparison.metrics[m].differences and
             any(b.n for b in comparison.metrics[m].differences.values())]
    with_results = any(comparison.results.get(c) for c in comparison.controllers)
    fig = plt.figure(figsize=(13, 8.5), constrained_layout=True)
    grid = fig.add_gridspec(2 if with_results else 1, max(len(shown), 2))
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    if with_results:
        half = max(len(shown), 2) // 2
        for axis, column, label in ((fig.add_subplot(grid[0, :half]), 2, "measured output y"),
                                    (fig.add_subplot(grid[0, half:]), 1, "control u")):
            for k, c in enumerate(comparison.controllers):
                bands = _bands(comparison.results[c], column)
                if bands is None:
                    continue
                t, (p5, p50, p95), setpoint = bands
                axis.fill_between(t, p5, p95, color=colours[k % len(colours)], alpha=0.2)
                axis.plot(t, p50, color=colours[k % len(colours)], label=f"{c} (median, 5-95 %)")
            if column == 2:
                axis.step(t, setpoint, where="post", color="black", lw=1, label="set-point")
            axis.set_xlabel("time")
            axis.set_ylabel(label)
            axis.legend(loc="best", fontsize="small")
    others = comparison.controllers[1:]
    for p, metric in enumerate(shown):
        axis = fig.add_subplot(grid[-1, p])
        m = comparison.metrics[metric]
        for k, c in enumerate(others):
            b = m.differences[c]
            if b.n:
                axis.errorbar([k], [b.p50], yerr=[[b.p50 - b.p5], [b.p95 - b.p50]], fmt="o", capsize=6,
                              color=colours[(k + 1) % len(colours)])
        axis.axhline(0, color="black", lw=0.8)
        axis.set_xticks(range(len(others)), [f"{c}\n{m.wins[c]}/{m.contested} wins" for c in others])
        axis.set_xlim(-0.7, len(others) - 0.3)
        axis.set_title(f"{metric}: paired difference\nfrom {comparison.reference} ({m.wins[comparison.reference]} wins)",
                       fontsize="medium")
    if path is not None:
        fig.savefig(path, dpi=100)
    return fig
