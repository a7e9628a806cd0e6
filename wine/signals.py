"""Turns the stop signals (SIGINT, SIGTERM, SIGHUP) and a run's deadline (SIGALRM) into
exceptions that unwind through every clean-up, and holds them where a process is started.

Signal handlers are process-wide, so their state is kept here, at module level.
"""

import contextlib
import signal

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(BaseException):
    """A signal asked the run to stop; every finally block runs on the way out."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum

    @property
    def exit_status(self):
        return 128 + self.signum

    @property
    def name(self):
        return signal.Signals(self.signum).name


class DeadlineExceeded(BaseException):
    """The run went past the deadline its caller set. A BaseException, as Interrupted is,
    so that no clean-up's suppress(OSError) or suppress(Exception) swallows it."""


class _State:
    depth = 0          # how many signals_held blocks are open
    pending = None     # the exception a held signal raises at the end of the outermost one
    phases = None      # the phases.Phases whose phase under way the deadline's message names


def _stop(signum, frame):
    # A second signal while the first one's clean-up runs must not cut that clean-up short.
    # Caught, not ignored: an ignored signal stays ignored across exec, and what the
    # clean-up starts (a wineserver -w) would then sit out every SIGTERM sent to it.
    for sig in STOP_SIGNALS:
        signal.signal(sig, _during_clean_up)
    _raise_or_hold(Interrupted(signum))


def _during_clean_up(signum, frame):
    pass


def _deadline(signum, frame):
    under_way = getattr(_State.phases, "under_way", None)
    _raise_or_hold(DeadlineExceeded(
        "the run went past its deadline" + (f" during {under_way}" if under_way else "")))


def _raise_or_hold(error):
    if _State.depth:
        # A stop asked for is never turned into a deadline: it keeps its exit status.
        if _State.pending is None or isinstance(error, Interrupted):
            _State.pending = error
        return
    raise error


@contextlib.contextmanager
def signals_held():
    """A stop signal or the deadline that arrives inside takes effect at its end, so that a
    process started inside is already known to its owner."""
    _State.depth += 1
    try:
        yield
    finally:
        _State.depth -= 1
        if not _State.depth and _State.pending is not None:
            error, _State.pending = _State.pending, None
            raise error


def stop_on_signals():
    """SIGINT (Ctrl-C), SIGTERM (CTest, kill) and SIGHUP (a closed terminal) raise
    Interrupted, so that every finally block runs and the run's processes end."""
    for sig in STOP_SIGNALS:
        signal.signal(sig, _stop)


def set_deadline(seconds):
    """Raises DeadlineExceeded in the main thread after this many seconds (0 cancels), so a
    hung run still unwinds through its clean-up before CTest's own time-out kills it."""
    signal.signal(signal.SIGALRM, _deadline)
    signal.alarm(int(seconds))


def deadline_names_phases_of(phases):
    """The deadline's message names the phase of these phases.Phases under way."""
    _State.phases = phases
