#!/usr/bin/env python3
"""The paths a Wine session hands out stay short however deep the build tree sits, and a
run's prefix copy writes only its own files.

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

from wine import machine, prefix, processes
from wine import waits as waiting
from wine.prefix import windows_path

SOCKET_PATH_LIMIT = 107
MAX_PATH = 260
DEEP = 300  # the work folder's path length, past both limits


class DeepSession:
    """A session whose work folder path is DEEP characters long, with an empty machine hive."""

    def __init__(self, e2e_dir, name="deep"):
        self.session = machine.WineSession(e2e_dir, name, waiting.scenario(), work_length=DEEP)
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
        with open(first.path("gyrsetup.log"), "w") as f:
            f.write("what the failed run logged\n")
        second = DeepSession(self.e2e_dir, "again").session
        self.addCleanup(second.close)
        self.assertFalse(os.path.exists(short))
        self.assertNotEqual(second.short, short)
        # Its logs outlive the next run, beside its folder, until another run fails.
        with open(os.path.join(second.work + ".failed", "gyrsetup.log")) as f:
            self.assertEqual(f.read(), "what the failed run logged\n")
        self.assertFalse(os.path.exists(second.path("gyrsetup.log")))

    def test_a_run_after_a_passing_one_keeps_only_the_last_failed_folder(self):
        runs = [("failed", True), ("passed", False), ("failed again", True), ("passed", False)]
        for said, failed in runs:
            session = DeepSession(self.e2e_dir, "twice").session
            with open(session.path("said"), "w") as f:
                f.write(said)
            session.failed = failed
            session.close()
        last = DeepSession(self.e2e_dir, "twice").session
        self.addCleanup(last.close)
        with open(os.path.join(last.work + ".failed", "said")) as f:
            self.assertEqual(f.read(), "failed again")


def copy_template(template, copy):
    waits = waiting.scenario()
    with processes.Owned.of(waits) as owned:
        prefix.copy_template(template, copy, owned, waits)


class TemplateCopyTest(unittest.TestCase):
    """A run's prefix shares the template's system folder and writes only its own files."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="template-copy-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.template = os.path.join(self.dir, "template")
        self.make_template()

    def make_template(self):
        """The template afresh, its shared files' checksums noted."""
        shutil.rmtree(self.template, ignore_errors=True)
        self.files = {"system.reg": b"WINE REGISTRY Version 2\n", "user.reg": b"user\n",
                      "wineserver": b"name\n", "drive_c/windows/system.ini": b"[drivers]\r\n",
                      "drive_c/windows/system32/kernel32.dll": b"MZ kernel32",
                      "drive_c/windows/system32/drivers/mountmgr.sys": b"MZ mountmgr"}
        for rel, data in self.files.items():
            path = os.path.join(self.template, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(self.template, "dosdevices"))
        os.symlink("../drive_c", os.path.join(self.template, "dosdevices", "c:"))
        self.sums = os.path.join(self.dir, "sums")
        prefix.write_shared_sums(self.template, self.sums)

    def test_writes_in_place_to_a_copy_leave_the_template_as_it_was(self):
        copy = os.path.join(self.dir, "copy")
        copy_template(self.template, copy)
        # Wine and the harness rewrite these in place: the hives, the .ini files, the
        # wineserver file; and they relink ports.
        for rel in ("system.reg", "user.reg", "wineserver", "drive_c/windows/system.ini"):
            with open(os.path.join(copy, rel), "ab") as f:
                f.write(b"written by the run\n")
        os.unlink(os.path.join(copy, "dosdevices", "c:"))
        os.symlink("/tmp", os.path.join(copy, "dosdevices", "c:"))
        for rel, data in self.files.items():
            with open(os.path.join(self.template, rel), "rb") as f:
                self.assertEqual(f.read(), data, rel)
        self.assertEqual(os.readlink(os.path.join(self.template, "dosdevices", "c:")),
                         "../drive_c")
        self.assertEqual(prefix.changed_shared_files(self.template, self.sums), [])

    def test_the_system_folder_is_shared_read_only_and_a_change_to_it_is_seen(self):
        copy = os.path.join(self.dir, "copy")
        copy_template(self.template, copy)
        for rel in ("drive_c/windows/system32/kernel32.dll",
                    "drive_c/windows/system32/drivers/mountmgr.sys"):
            shared, own = os.stat(os.path.join(self.template, rel)), os.stat(os.path.join(copy, rel))
            self.assertEqual((shared.st_dev, shared.st_ino), (own.st_dev, own.st_ino), rel)
            self.assertEqual(own.st_mode & 0o222, 0, f"{rel} is writable")
        for rel in ("system.reg", "drive_c/windows/system.ini"):
            self.assertNotEqual(os.stat(os.path.join(self.template, rel)).st_ino,
                                os.stat(os.path.join(copy, rel)).st_ino, rel)
        # As root the read-only mode stops nothing: the checksums are what tells.
        dll = os.path.join(copy, "drive_c", "windows", "system32", "kernel32.dll")
        os.chmod(dll, 0o644)
        with open(dll, "ab") as f:
            f.write(b"patched")
        self.assertEqual(prefix.changed_shared_files(self.template, self.sums),
                         ["drive_c/windows/system32/kernel32.dll: its bytes changed"])

    def test_a_shared_file_that_came_or_went_since_the_template_was_made_is_seen(self):
        drivers = os.path.join(self.template, "drive_c", "windows", "system32", "drivers")

        def add():
            with open(os.path.join(drivers, "added.sys"), "wb") as f:
                f.write(b"MZ added")

        cases = [
            ("added", add,
             ["drive_c/windows/system32/drivers/added.sys: not there when the template was made"]),
            ("removed", lambda: os.unlink(os.path.join(drivers, "mountmgr.sys")),
             ["drive_c/windows/system32/drivers/mountmgr.sys: gone"]),
        ]
        for what, change, changed in cases:
            with self.subTest(what):
                self.make_template()
                change()
                self.assertEqual(prefix.changed_shared_files(self.template, self.sums), changed)


if __name__ == "__main__":
    unittest.main()
