#!/usr/bin/env python3
"""Reads the shipped floppy image back and builds it twice more to compare.

check_floppy.py MAKE_FLOPPY EXE DIST_DIR
  MAKE_FLOPPY  the script that writes the image (scripts/make_floppy)
  EXE          the gyrsetup.exe the image must carry
  DIST_DIR     where the build left gyrsetup.img and SHA256SUMS
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import time

IMAGE_SIZE = 1474560

# The boot sector of a standard 1.44 MB FAT12 floppy: offset, struct format, value.
BOOT_SECTOR = [
    (11, "<H", 512, "bytes per sector"),
    (13, "<B", 1, "sectors per cluster"),
    (14, "<H", 1, "reserved sectors"),
    (16, "<B", 2, "FATs"),
    (17, "<H", 224, "root directory entries"),
    (19, "<H", 2880, "total sectors"),
    (21, "<B", 0xF0, "media descriptor"),
    (22, "<H", 9, "sectors per FAT"),
    (24, "<H", 18, "sectors per track"),
    (26, "<H", 2, "heads"),
    (38, "<B", 0x29, "extended boot signature"),
    (43, "11s", b"GYRELLE    ", "volume label"),
    (54, "8s", b"FAT12   ", "file system type"),
    (510, "2s", b"\x55\xAA", "boot signature"),
]

# Root directory: name, extension and attribute of every entry in use, in order. A long
# name would show up as an extra entry with attribute 0x0F.
ROOT_ENTRIES = [
    (b"GYRELLE    ", 0x08),
    (b"GYRSETUPEXE", 0x20),
    (b"README  TXT", 0x20),
]
ROOT_OFFSET = (1 + 2 * 9) * 512

# The README quotes both dialogs and both messages as the user sees them.
README_QUOTES = [
    "Gyrelle detected and installed",
    "Gyrelle not detected. Please select a COM port.",
    "Com Port Configuration",
    "Gyrelle Detection",
    "COM1",
    "COM6",
    "A:\\GYRSETUP.EXE",
    # What the program says when the joystick driver is missing, and what to do about it.
    "but it could not be installed: the joystick driver is not set up. Install the Windows "
    "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again.",
    "could not be configured: the joystick driver is not set up. Install the Windows "
    "joystick driver (Control Panel, Add New Hardware), then run GYRSETUP again.",
    "Nothing could be configured: the joystick driver is not set up.",
    # What the program says when the driver is there but the values written did not stay.
    "The Gyrelle answered on COM2, but it could not be installed: Windows did not keep the "
    "joystick settings. Run GYRSETUP again.",
    "COM2 could not be configured: Windows did not keep the joystick settings. Run GYRSETUP "
    "again.",
    "Nothing could be configured: Windows did not keep the joystick settings. Run GYRSETUP "
    "again.",
    # What the program says when the driver is there but the joystick type did not stay.
    "The Gyrelle answered on COM2, but it could not be installed: Windows did not keep the "
    "Brennick Gyrelle joystick type. Run GYRSETUP again.",
    "The Gyrelle could not be installed: Windows did not keep the Brennick Gyrelle joystick "
    "type. Run GYRSETUP again.",
    "COM2 could not be configured: Windows did not keep the Brennick Gyrelle joystick type. "
    "Run GYRSETUP again.",
    "Nothing could be configured: Windows did not keep the Brennick Gyrelle joystick type. "
    "Run GYRSETUP again.",
    # Without the driver nothing is preselected, so this is the case with no port picked.
    "when no port was picked (the list was empty, or nothing in it was selected: without "
    "the driver nothing is preselected)",
    # How long the wait is, port by port.
    "about 2 seconds for the port where the Gyrelle answers, about 3.5 seconds for each "
    "other port that opens, and no time for a port that is absent or held by another program",
    # Each version of the family names the applet differently.
    "on Windows 95: Joystick; on Windows 98: Game Controllers; on Windows Me: Gaming Options.",
    # The close boxes of the dialogs and of the message boxes.
    "The port list has no close box; the close box of \"Gyrelle Detection\" does nothing. A "
    "message box (below) closes with its close box as with OK.",
    # What to try when nothing answered.
    "Another program may hold the port: close it, then run GYRSETUP again.",
    "A controller on a port past COM6 is not tried: move the cable to one of COM1 to COM6, "
    "then run GYRSETUP again.",
    # Only the Windows 9x family loads the type's driver, which the disk does not carry.
    "Windows 95, 98 or Me",
    "TESLN.VXD, which is not on this disk",
    "Install TESLN.VXD, which is not on this disk. Only then can Windows use the controller: "
    "calibration and testing in Control Panel come after it is installed.",
    # The name Control Panel, Joystick shows for the controller after the install.
    "Brennick Gyrelle",
    # The three names in plain words, and why every joystick gets the port.
    "\"Gyrelle\" is the controller itself.",
    "\"Tessaline\" is the joystick type GYRSETUP.EXE registers for it",
    "\"Brennick Gyrelle\" is the name Control Panel shows for that type.",
    "Control Panel may give the Gyrelle any of the 16 joysticks; whichever it gives, that "
    "joystick's settings name the port.",
]

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def mtools(*args):
    result = subprocess.run(args, capture_output=True)
    if result.returncode != 0:
        raise SystemExit("%s failed: %s" % (" ".join(args), result.stderr.decode(errors="replace")))
    return result.stdout


def check_layout(image):
    data = open(image, "rb").read()
    if len(data) != IMAGE_SIZE:
        fail("%s has %d bytes, expected %d" % (image, len(data), IMAGE_SIZE))
        return
    for offset, fmt, expected, what in BOOT_SECTOR:
        (got,) = struct.unpack_from(fmt, data, offset)
        if got != expected:
            fail("boot sector %s at %d is %r, expected %r" % (what, offset, got, expected))
    for fat in range(2):
        start = (1 + fat * 9) * 512
        if data[start:start + 3] != b"\xF0\xFF\xFF":
            fail("FAT %d starts with %s, expected f0 ff ff" % (fat + 1, data[start:start + 3].hex(" ")))
    entries = []
    for i in range(224):
        entry = data[ROOT_OFFSET + 32 * i:ROOT_OFFSET + 32 * (i + 1)]
        if entry[0] == 0x00:
            break
        if entry[0] != 0xE5:
            entries.append((entry[:11], entry[11]))
    if entries != ROOT_ENTRIES:
        fail("root directory holds %r, expected %r" % (entries, ROOT_ENTRIES))


def check_listing(image):
    listing = mtools("mdir", "-i", image, "::").decode("ascii", errors="replace")
    if not re.search(r"^ Volume in drive : is GYRELLE\s*$", listing, re.M):
        fail("mdir shows no label GYRELLE:\n" + listing)
    names = mtools("mdir", "-b", "-i", image, "::").decode("ascii", errors="replace").split()
    if names != ["::/GYRSETUP.EXE", "::/README.TXT"]:
        fail("mdir lists %r, expected GYRSETUP.EXE and README.TXT" % names)


def check_files(image, exe, scratch):
    copied = os.path.join(scratch, "GYRSETUP.EXE")
    mtools("mcopy", "-n", "-i", image, "::GYRSETUP.EXE", copied)
    if open(copied, "rb").read() != open(exe, "rb").read():
        fail("GYRSETUP.EXE on the image differs from " + exe)

    readme = os.path.join(scratch, "README.TXT")
    mtools("mcopy", "-n", "-i", image, "::README.TXT", readme)
    text = open(readme, "rb").read()
    if not text.endswith(b"\r\n"):
        fail("README.TXT does not end with CR LF")
    for number, line in enumerate(text.split(b"\r\n")[:-1], 1):
        if b"\r" in line or b"\n" in line:
            fail("README.TXT line %d has a lone CR or LF: %r" % (number, line))
        if len(line) > 76:
            fail("README.TXT line %d has %d characters: %r" % (number, len(line), line))
        if any(c < 0x20 or c > 0x7E for c in line):
            fail("README.TXT line %d holds a byte outside printable ASCII: %r" % (number, line))
    flat = b" ".join(text.split()).decode("ascii", errors="replace")
    for quote in README_QUOTES:
        if quote not in flat:
            fail("README.TXT does not mention %r" % quote)


def check_sums(dist):
    sums = os.path.join(dist, "SHA256SUMS")
    names = [line.split()[1] for line in open(sums).read().splitlines()]
    if sorted(names) != ["gyrsetup.exe", "gyrsetup.img"]:
        fail("SHA256SUMS names %r, expected gyrsetup.exe and gyrsetup.img" % names)
    result = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=dist,
                            capture_output=True, text=True)
    if result.returncode != 0:
        fail("SHA256SUMS does not match the files in %s:\n%s%s" % (dist, result.stdout, result.stderr))


def check_reproducible(make_floppy, exe, scratch):
    # The second build runs later and in another zone: neither may reach the image.
    outs = [os.path.join(scratch, "first"), os.path.join(scratch, "second")]
    for out, zone in zip(outs, ["UTC0", "GYR-12:45"]):
        if out != outs[0]:
            time.sleep(2.1)  # FAT times count in two-second steps
        env = dict(os.environ, TZ=zone)
        subprocess.run([make_floppy, exe, out], env=env, check=True)
    for name in ["gyrsetup.img", "SHA256SUMS"]:
        first, second = (open(os.path.join(out, name), "rb").read() for out in outs)
        if first != second:
            differing = next(i for i, (a, b) in enumerate(zip(first, second)) if a != b)
            fail("two builds give different %s (first difference at byte %d)" % (name, differing))
    check_layout(os.path.join(outs[0], "gyrsetup.img"))


def main():
    make_floppy, exe, dist = sys.argv[1:4]
    image = os.path.join(dist, "gyrsetup.img")
    if not os.path.exists(image):
        raise SystemExit("no %s: scripts/build writes it" % image)
    with tempfile.TemporaryDirectory() as scratch:
        check_layout(image)
        check_listing(image)
        check_files(image, exe, scratch)
        check_sums(dist)
        check_reproducible(make_floppy, exe, scratch)
    if failures:
        sys.exit(1)
    print("floppy image ok")


if __name__ == "__main__":
    main()
