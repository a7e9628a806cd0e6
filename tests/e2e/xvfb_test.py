#!/usr/bin/env python3
"""The runner's own Xvfb: it takes a client at once after the last one has left, and its
start says what became of it however the server behaves.

wine-install polls for the installer's window with xdotool, one short X client after
another, while Wine is still starting: the connection Wine's explorer opens then comes
right after a client has gone. Needs Xvfb, not Wine; the start's cases use stand-ins.
"""

import os
import shutil
import socket
import tempfile
import unittest

from wine import processes, waits as waiting
from wine.xvfb import Xvfb

CLIENTS = 200
# Little-endian connection setup, protocol 11.0, no authorization.
SETUP_REQUEST = bytes.fromhex("6c00 0b00 0000 0000 0000 0000")
SUCCESS = 1


def connect_once(path):
    """The first byte of the server's answer to a connection setup, or the error met."""
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.settimeout(10)
    try:
        client.connect(path)
        client.sendall(SETUP_REQUEST)
        answer = client.recv(8)
        return answer[0] if answer else "closed without an answer"
    except OSError as error:
        return f"{type(error).__name__}: {error}"
    finally:
        client.close()


class XvfbTest(unittest.TestCase):
    def test_clients_one_after_another_are_all_taken(self):
        with tempfile.TemporaryDirectory(prefix="xvfb-test-") as folder, \
                processes.Owned.of(waiting.Waits()) as owned, \
                Xvfb(os.path.join(folder, "xvfb.log"), owned, waiting.Waits()) as xvfb:
            path = f"/tmp/.X11-unix/X{xvfb.display.lstrip(':')}"
            answers = [connect_once(path) for _ in range(CLIENTS)]
        refused = [(n, a) for n, a in enumerate(answers) if a != SUCCESS]
        self.assertEqual(refused, [], f"{len(refused)} of {CLIENTS} clients were refused")


# Stand-ins for Xvfb, put first on PATH: $2 is the descriptor -displayfd names.
STAND_INS = {
    # Tells its display as the real one does, in two writes, here a moment apart.
    "a slow teller": ('eval "printf 7 >&$2"; sleep 0.5; eval "printf \'\\n\' >&$2"\n'
                      "exec sleep 60\n"),
    "one that exits": 'echo "Fatal server error: no screens found" >&2\nexit 1\n',
    "one that never tells": "exec sleep 60\n",
}


class XvfbStartTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="xvfb-start-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.path = os.environ["PATH"]
        self.addCleanup(os.environ.__setitem__, "PATH", self.path)

    def start(self, script, wait):
        bin_dir = os.path.join(self.dir, "bin")
        os.makedirs(bin_dir, exist_ok=True)
        with open(os.path.join(bin_dir, "Xvfb"), "w") as f:
            f.write("#!/bin/sh\n" + script)
        os.chmod(os.path.join(bin_dir, "Xvfb"), 0o755)
        os.environ["PATH"] = bin_dir + os.pathsep + self.path
        log = os.path.join(self.dir, "xvfb.log")
        waits = waiting.Waits(xvfb=wait, xvfb_grace=1, grace=1, gdb=5)
        with processes.Owned.of(waits) as owned:
            try:
                with Xvfb(log, owned, waits) as xvfb:
                    return xvfb.display, None, xvfb.proc
            except processes.WineError as error:
                return None, str(error), None

    def test_the_start_says_what_became_of_the_server(self):
        log = os.path.join(self.dir, "xvfb.log")
        cases = [
            # (the stand-in, how long it is waited for, the display told, the error)
            ("a slow teller", 30, ":7", None),
            ("one that exits", 30, None, f"Xvfb exited with status 1 before it told its display; "
                                     f"its log {log} ends: Fatal server error: no screens found"),
            ("one that never tells", 1, None, f"Xvfb did not tell its display within 1 s and was "
                                           f"stopped (the state of its processes: {log}.stuck); "
                                           f"see {log}"),
        ]
        for name, wait, display, error in cases:
            with self.subTest(name):
                got_display, got_error, proc = self.start(STAND_INS[name], wait)
                self.assertEqual((got_display, got_error), (display, error))
                if proc is not None:
                    self.assertIsNotNone(proc.poll(), "the stand-in still runs")
        with open(log + ".stuck") as f:
            self.assertIn("Xvfb: stuck at", f.read())


if __name__ == "__main__":
    unittest.main()
