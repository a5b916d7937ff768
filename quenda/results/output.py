"""Writing results to files: columns of (name, values), the first one time.

Three formats, chosen by the file's extension as netlists choose them:
".csv" (and any other extension) comma-separated, ".dat" the same
separated by blanks, no extension or ".raw" the ASCII raw format of SPICE.
"""

import csv
import time as _time
from pathlib import Path


def format_of(path):
    """"csv", "dat" or "raw" for a path, by its extension."""
    suffix = Path(path).suffix.lower()
    if suffix in ("", ".raw"):
        return "raw"
    return "dat" if suffix == ".dat" else "csv"


def write_table(path, columns, title=""):
    """Writes the columns in the format the path's extension asks for."""
    fmt = format_of(path)
    if fmt == "raw":
        write_raw(path, columns, title)
    elif fmt == "dat":
        write_dat(path, columns)
    else:
        write_csv(path, columns)


def write_csv(path, columns):
    """One header row of the column names, then one row per time point."""
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow([h for h, _ in columns])
        for row in zip(*(v.tolist() for _, v in columns)):
            w.writerow(row)


def write_dat(path, columns):
    """As write_csv, the fields separated by a blank."""
    with open(path, "w") as f:
        f.write(" ".join(h for h, _ in columns) + "\n")
        for row in zip(*(v.tolist() for _, v in columns)):
            f.write(" ".join(map(repr, row)) + "\n")


def raw_type(name):
    """The SPICE raw variable type of a column, by its name."""
    if name.lower() == "time":
        return "time"
    return {"V": "voltage", "I": "current"}.get(name[:1].upper(), "notype")


def write_raw(path, columns, title=""):
    """The ASCII raw format: a header naming each variable and its type, then
    per point its index and the values, one a line."""
    names = [h for h, _ in columns]
    points = len(columns[0][1]) if columns else 0
    with open(path, "w") as f:
        f.write(f"Title: {title or 'quenda'}\n")
        f.write(f"Date: {_time.strftime('%a %b %d %H:%M:%S %Y')}\n")
        f.write("Plotname: Transient Analysis\nFlags: real\n")
        f.write(f"No. Variables: {len(names)}\nNo. Points: {points}\nVariables:\n")
        for k, name in enumerate(names):
            f.write(f"\t{k}\t{name}\t{raw_type(name)}\n")
        f.write("Values:\n")
        for k, row in enumerate(zip(*(v.tolist() for _, v in columns))):
            f.write(f" {k}\t{row[0]!r}\n")
            for value in row[1:]:
                f.write(f"\t{value!r}\n")
