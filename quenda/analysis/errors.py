"""What a simulation reports when it cannot go on."""


class SimulationError(RuntimeError):
    """A run that could not go on, saying when and where.

    `results` holds what the run had accepted before it stopped (a Results
    up to the last accepted point), `time` the simulated time in seconds at
    which it stopped (None when it stopped before the first step)."""

    def __init__(self, message, time=None, results=None):
        super().__init__(message)
        self.time = time
        self.results = results
