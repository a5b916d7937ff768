"""Plots of results: one panel per quantity, SI units scaled to read well.

Drawn on a matplotlib Figure of its own (no pyplot), so plotting never
switches or touches the caller's backend and figures.
"""

import math

import numpy as np

# quantity: (Results method, label, SI unit)
QUANTITIES = {
    "voltage": ("voltage", "voltage", "V"),
    "current": ("current", "current", "A"),
    "phase": ("phase", "phase", "rad"),
    "quanta": ("quanta", "phase quanta", ""),
}
_PREFIXES = ((1e-15, "f"), (1e-12, "p"), (1e-9, "n"), (1e-6, "u"), (1e-3, "m"), (1.0, ""))


def scaled(values, unit):
    """(scale, label unit) that put the largest |value| between 1 and 1000."""
    if unit in ("", "rad"):
        return 1.0, unit
    peak = float(np.max(np.abs(values))) if np.size(values) else 0.0
    if not peak > 0:
        return 1.0, unit
    for scale, prefix in reversed(_PREFIXES):
        if peak >= scale or scale == _PREFIXES[0][0]:
            return scale, prefix + unit
    return 1.0, unit


def _styles(n):
    """Distinct (colour, line style) pairs for n traces."""
    from matplotlib import colormaps

    if n <= 10:
        colours = [colormaps["tab10"](k) for k in range(n)]
    elif n <= 20:
        colours = [colormaps["tab20"](k) for k in range(n)]
    else:
        colours = [colormaps["turbo"](k / max(1, n - 1)) for k in range(n)]
    lines = ("-", "--", "-.", ":")
    return [(c, lines[(k // 10) % len(lines)] if n > 20 else "-") for k, c in enumerate(colours)]


def plot_results(res, path=None, names=None, what="voltage"):
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'quenda[plot]'") from None
    wanted = [what] if isinstance(what, str) else list(what)
    for q in wanted:
        if q not in QUANTITIES:
            raise ValueError(f"unknown quantity {q!r} (choose from {', '.join(QUANTITIES)})")
    if names is None:
        names = [e for e in res.element_names if e in res._counting] or res.element_names
    names = [names] if isinstance(names, str) else list(names)

    t = res.time
    tscale, tunit = scaled(t, "s")
    fig = Figure(figsize=(10, 2.2 + 2.6 * len(wanted)))
    FigureCanvasAgg(fig)
    axes = fig.subplots(len(wanted), 1, sharex=True, squeeze=False)[:, 0]
    styles = _styles(len(names))
    for ax, q in zip(axes, wanted):
        method, label, unit = QUANTITIES[q]
        series = [getattr(res, method)(name) for name in names]
        vscale, vunit = scaled(np.concatenate(series) if series else [], unit)
        for name, y, (colour, line) in zip(names, series, styles):
            ax.plot(t / tscale, y / vscale, label=name, lw=0.9, color=colour, linestyle=line)
        ax.set_ylabel(f"{label} [{vunit}]" if vunit else label)
        ax.grid(alpha=0.3)
    axes[-1].set_xlabel(f"time [{tunit}]")
    axes[0].set_title(res.title)
    if names:
        columns = max(1, math.ceil(len(names) / 24))
        axes[0].legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small",
                       ncol=columns, frameon=False)
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
    return fig


# Column name prefix: (label, SI unit), for columns named as netlists name them.
COLUMN_QUANTITIES = {"V": ("voltage", "V"), "I": ("current", "A"), "P": ("phase", "rad")}


def plot_columns(columns, path=None, title=""):
    """Draws (name, values) columns against the first (time, seconds), one
    panel per quantity of the names' first letter (V, I, P); saves to path if
    given and returns the matplotlib Figure."""
    try:
        from matplotlib.backends.backend_agg import FigureCanvasAgg
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plotting needs matplotlib: pip install 'quenda[plot]'") from None
    (_, t), rest = columns[0], columns[1:]
    groups = {}
    for name, values in rest:
        groups.setdefault(name[:1].upper(), []).append((name, values))
    tscale, tunit = scaled(t, "s")
    fig = Figure(figsize=(10, 2.2 + 2.6 * max(1, len(groups))))
    FigureCanvasAgg(fig)
    axes = fig.subplots(max(1, len(groups)), 1, sharex=True, squeeze=False)[:, 0]
    for ax, (letter, series) in zip(axes, groups.items()):
        label, unit = COLUMN_QUANTITIES.get(letter, (letter, ""))
        vscale, vunit = scaled(np.concatenate([v for _, v in series]), unit)
        for (name, y), (colour, line) in zip(series, _styles(len(series))):
            ax.plot(t / tscale, y / vscale, label=name, lw=0.9, color=colour, linestyle=line)
        ax.set_ylabel(f"{label} [{vunit}]" if vunit else label)
        ax.grid(alpha=0.3)
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small",
                  ncol=max(1, math.ceil(len(series) / 24)), frameon=False)
    axes[-1].set_xlabel(f"time [{tunit}]")
    axes[0].set_title(title)
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=120)
    return fig
