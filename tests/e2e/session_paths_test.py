#!/usr/bin/env python3
"""The paths a Wine session hands out stay short however deep the build tree sits.

A socket path holds at most 107 bytes and the Windows side reads file names into MAX_PATH
(260) buffers. These cases need no Wine: they prepare a session's folders in a deep tree,
link its ports and stage files, then close it.
"""

import os
import re
import shutil
import socket
import stat
import tempfile
import unittest

from wine import test_machine as machine
from wine.prefix import windows_path

SOCKET_PATH_LIMIT = 107
MAX_PATH = 260
DEEP = 300  # the work folder's path length, past both limits


class DeepSession:
    """A session whose work folder path is DEEP characters long, with an empty machine hive."""

    def __init__(self, e2e_dir, name="deep"):
        self.session = machine.WineSession(e2e_dir, name, work_length=DEEP)
        self.session.prepare_folders()
        os.makedirs(self.session.prefix)
        with open(self.session.system_reg(), "w") as f:
            f.write("WINE REGISTRY Version 2\n")


class SessionPathTest(unittest.TestCase):
    def setUp(self):
        self.e2e_dir = tempfile.mkdtemp(prefix="session-paths-")
        self.addCleanup(shutil.rmtree, self.e2e_dir, True)

    def test_work_folder_is_as_deep_as_asked(self):
        session = DeepSession(self.e2e_dir).session
        self.addCleanup(session.close)
        self.assertGreaterEqual(len(session.work), DEEP)
        self.assertTrue(os.path.isdir(session.work))

    def test_ports_link_to_short_paths_and_unanswered_ports_are_sockets(self):
        session = DeepSession(self.e2e_dir).session
        self.addCleanup(session.close)
        session.set_ports({2: "/dev/null"})
        with open(session.system_reg()) as f:
            hive = f.read()
        links = dict(re.findall(r'^"(COM\d)"="(.*)"$', hive, re.MULTILINE))
        self.assertEqual(sorted(links), [f"COM{n}" for n in range(1, machine.PORT_COUNT + 1)])
        for port, escaped in links.items():
            link = escaped.replace("\\\\", "\\")
            self.assertLessEqual(len(os.fsencode(link)), SOCKET_PATH_LIMIT, port)
            target = os.readlink(link)
            if port == "COM2":
                self.assertEqual(target, "/dev/null")
                continue
            self.assertLessEqual(len(os.fsencode(target)), SOCKET_PATH_LIMIT, port)
            self.assertTrue(stat.S_ISSOCK(os.stat(target).st_mode), port)
            probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            with self.assertRaises(ConnectionRefusedError, msg=port):
                probe.connect(target)
            probe.close()

    def test_staged_files_and_written_files_have_short_windows_paths(self):
        session = DeepSession(self.e2e_dir).session
        self.addCleanup(session.close)
        program = os.path.join(session.work, "gyrsetup.exe")
        with open(program, "wb") as f:
            f.write(b"MZ program")
        staged = session.stage(program)
        log_path = windows_path(session.short_path("driver-messages.log"))
        for path in (staged, log_path):
            self.assertTrue(path.startswith("Z:\\"), path)
            self.assertLess(len(path), MAX_PATH, path)
        with open(session.short_path("gyrsetup.exe"), "rb") as f:
            self.assertEqual(f.read(), b"MZ program")

    def test_close_keeps_the_written_files_and_removes_the_short_folder(self):
        session = DeepSession(self.e2e_dir).session
        session.set_ports({})
        source = os.path.join(self.e2e_dir, "tool.exe")
        with open(source, "wb") as f:
            f.write(b"MZ")
        session.stage(source)
        with open(session.short_path("driver-messages.log"), "w") as f:
            f.write("0x0903 0 0\n")
        short = session.short
        session.close()
        self.assertFalse(os.path.exists(short))
        with open(session.path("driver-messages.log")) as f:
            self.assertEqual(f.read(), "0x0903 0 0\n")
        self.assertFalse(os.path.exists(session.path("tool.exe")))
        self.assertFalse(os.path.exists(session.path("nodevice1.sock")))

    def test_a_failed_run_keeps_its_short_folder_until_the_next_run_of_its_name(self):
        first = DeepSession(self.e2e_dir, "again").session
        first.set_ports({})
        first.failed = True
        short = first.short
        first.close()
        self.assertTrue(os.path.isdir(short))
        second = DeepSession(self.e2e_dir, "again").session
        self.addCleanup(second.close)
        self.assertFalse(os.path.exists(short))
        self.assertNotEqual(second.short, short)


if __name__ == "__main__":
    unittest.main()
