"""Writing results to files."""

import csv


def write_csv(path, columns):
    """One header row of the column names, then one row per time point."""
    with open(path, "w", newline="") as f:
        w = csv.writer(f)
        w.writerow([h for h, _ in columns])
        for row in zip(*(v.tolist() for _, v in columns)):
            w.writerow(row)
