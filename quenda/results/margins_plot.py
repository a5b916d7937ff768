"""The margins chart designers read: one row per parameter, a bar from its
lowest to its highest passing value in percent of nominal (below to the left
of 0, above to the right), the critical margin in red, a side that passed at
the search limit hatched.

Drawn on a matplotlib Figure of its own (no pyplot).
"""


def plot_margins(margins, path=None):
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'quenda[plot]'") from None
    rows = list(margins.rows)
    fig = Figure(figsize=(8, 1.2 + 0.32 * max(len(rows), 1)))
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    critical = margins.critical if rows else None
    y = list(range(len(rows)))[::-1]
    for pos, row in zip(y, rows):
        for side, value, at_limit in (("low", row.low_percent, row.low_at_limit),
                                      ("high", row.high_percent, row.high_at_limit)):
            worst = critical is not None and critical[:2] == (row.parameter, side)
            colour = "tab:red" if worst else ("tab:blue" if side == "low" else "tab:green")
            ax.barh(pos, value, height=0.6, color=colour, alpha=0.85,
                    hatch="//" if at_limit else None, edgecolor="white" if at_limit else None)
            align = "right" if side == "low" else "left"
            pad = -1.0 if side == "low" else 1.0
            ax.text(value + pad, pos, f"{value:+.1f}", va="center", ha=align, fontsize="small")
    ax.axvline(0.0, color="black", lw=0.8)
    ax.set_yticks(y)
    ax.set_yticklabels([r.parameter for r in rows])
    ax.set_xlabel("margin [% of nominal]")
    reach = max([abs(v) for r in rows for v in (r.low_percent, r.high_percent)] + [10.0])
    ax.set_xlim(-reach * 1.25, reach * 1.25)
    if critical is not None:
        name, side, pct = critical
        ax.set_title(f"critical margin {pct:.1f}% ({name}, {side})\nresolution "
                     f"{margins.resolution * 100:g}%; hatched: passes at the search limit",
                     fontsize="medium")
    ax.grid(axis="x", alpha=0.3)
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
    return fig
