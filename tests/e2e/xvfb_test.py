#!/usr/bin/env python3
"""The runner's own Xvfb takes a client at once after the last one has left.

wine-install polls for the installer's window with xdotool, one short X client after
another, while Wine is still starting: the connection Wine's explorer opens then comes
right after a client has gone. Needs Xvfb, not Wine.
"""

import os
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


if __name__ == "__main__":
    unittest.main()
