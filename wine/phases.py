"""The time each phase of a run takes, written down as it goes.

One line per phase, "NAME<TAB>START<TAB>SECONDS" (START counts from the run's beginning), so
that a run cut short still shows how far it got and where its time went.
"""

import contextlib
import time


class Phases:
    def __init__(self, path=None):
        self.path = path
        self.began = time.monotonic()
        self.rows = []
        self.under_way = None  # the latest phase begun, for a deadline's message
        if path:
            with open(path, "w"):
                pass

    @contextlib.contextmanager
    def __call__(self, name):
        start = time.monotonic()
        self.under_way = name
        try:
            yield
        finally:
            row = (name, start - self.began, time.monotonic() - start)
            self.rows.append(row)
            if self.path:
                with open(self.path, "a") as f:
                    f.write(f"{row[0]}\t{row[1]:.3f}\t{row[2]:.3f}\n")


def read_phases(path):
    """[(name, start, seconds)] from a file Phases wrote."""
    rows = []
    with open(path) as f:
        for line in f:
            name, start, seconds = line.rstrip("\n").split("\t")
            rows.append((name, float(start), float(seconds)))
    return rows
