"""An X server of the run's own, on a free display, for a run with no display of the user's."""

import contextlib
import os
import select

from wine import processes, waits as waiting
from wine.processes import WineError


def _last_lines(path, count=5):
    with contextlib.suppress(OSError), open(path, errors="replace") as f:
        return " | ".join(line.strip() for line in f.readlines()[-count:] if line.strip())
    return ""


class Xvfb:
    """Started among the run's own processes, ended (before nothing else of the run needs
    it) by close()."""

    def __init__(self, log_path, owned, waits, pid_file=None):
        self.log_path = log_path
        self.pid_file = pid_file
        self.owned = owned
        self.waits = waits
        self.proc = None
        self.display = None

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def start(self):
        # Xvfb tells its display through a pipe: it writes the number and the newline in
        # two writes, and a regular file polled with seek and read shares its offset with
        # Xvfb's descriptor, so a seek between the two writes let the newline overwrite the
        # number, and the run waited out the whole time for a display already up.
        read_end, write_end = os.pipe()
        try:
            with open(self.log_path, "ab") as out:
                # -displayfd lets the server pick a free display and tell us which. -r: no
                # autorepeat, so that a key typed once reaches the program once however
                # slowly a loaded machine delivers its release. -noreset: by default the
                # server resets whenever its last client leaves, and refuses connections
                # while it does; each xdotool poll before Wine's first window is such a
                # client, and Wine's explorer connecting during a reset loads no display
                # driver, so no window ever opens.
                self.proc = self.owned.popen(
                    ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                     "-nolisten", "tcp", "-r", "-noreset"],
                    stdout=out, stderr=out, pass_fds=(write_end,), ended_last=True)
        except BaseException:
            os.close(read_end)
            raise
        finally:
            os.close(write_end)
        if self.pid_file:
            processes.record_process(self.pid_file, self.proc)
        told = bytearray()
        closed = []

        def display():
            while not closed and select.select([read_end], [], [], 0)[0]:
                chunk = os.read(read_end, 64)
                if not chunk:
                    closed.append(True)
                told.extend(chunk)
            text = told.decode(errors="replace")
            return text.endswith("\n") and text.strip().isdigit() and ":" + text.strip()

        try:
            self.display = waiting.poll(display, self.waits.xvfb, every=0.05,
                                        give_up=lambda: bool(closed) or
                                        self.proc.poll() is not None)
        finally:
            os.close(read_end)
        if self.display:
            return
        # A closed pipe with no display told: Xvfb is ending, or has ended.
        rc = self.owned.wait(self.proc, 1 if closed else 0)
        if rc is not None:
            raise WineError(f"Xvfb exited with status {rc} before it told its display; its "
                            f"log {self.log_path} ends: {_last_lines(self.log_path)}")
        state = self.owned.stop(self.proc, "Xvfb", self.log_path + ".stuck",
                                grace=self.waits.xvfb_grace)
        raise WineError(f"Xvfb did not tell its display within {self.waits.xvfb} s and was "
                        f"stopped (the state of its processes: {state}); see {self.log_path}")

    def close(self):
        if self.proc is not None and self.proc.poll() is None:
            processes.end_groups([self.proc], grace=self.waits.xvfb_grace)

    def __exit__(self, *exc):
        self.close()
