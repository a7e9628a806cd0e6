#!/usr/bin/env python3
"""Fails unless gyrsetup.exe's header is what the Windows 95 loader takes: an i386 Windows GUI
program for subsystem and OS version 4.0, no TLS directory, an image base of 0x400000 or
above, 4 KB section and 512-byte file alignment, and no relocations: the program is always
loaded at its own base, so it carries none and says so (RELOCS_STRIPPED set, DYNAMIC_BASE
clear). The file stays within 52 KB, so that a change which makes it much larger (a build
for speed, a table of zeros) is seen. Prints the file's size and each section's."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_file import PeFile  # noqa: E402


def main(path):
    pe = PeFile(path)
    def directory(index):
        return pe.directories[index] if len(pe.directories) > index else (0, 0)

    def flag(field, bit):
        return "set" if field & bit else "clear"

    tls_address, tls_size = directory(PeFile.TLS_DIRECTORY)
    relocations_address, relocations_size = directory(PeFile.BASE_RELOCATION_DIRECTORY)
    checks = [
        ("machine", f"{pe.machine:#06x}", "0x014c"),
        ("subsystem (2 is Windows GUI)", str(pe.subsystem), "2"),
        ("subsystem version", f"{pe.major_subsystem_version}.{pe.minor_subsystem_version}", "4.0"),
        ("OS version", f"{pe.major_os_version}.{pe.minor_os_version}", "4.0"),
        ("TLS directory", f"{tls_address:#x} {tls_size}", "0x0 0"),
        ("image base at 0x400000 or above", "yes" if pe.image_base >= 0x400000 else f"{pe.image_base:#x}", "yes"),
        ("section alignment", f"{pe.section_alignment:#x}", "0x1000"),
        ("file alignment", f"{pe.file_alignment:#x}", "0x200"),
        ("RELOCS_STRIPPED", flag(pe.characteristics, PeFile.RELOCS_STRIPPED), "set"),
        ("DYNAMIC_BASE", flag(pe.dll_characteristics, PeFile.DYNAMIC_BASE), "clear"),
        ("base relocation directory", f"{relocations_address:#x} {relocations_size}", "0x0 0"),
        ("file size at most 53248 bytes", "yes" if len(pe.data) <= 53248 else str(len(pe.data)), "yes"),
    ]
    failed = False
    for what, got, want in checks:
        mark = "ok" if got == want else f"FAIL, want {want}"
        failed |= got != want
        print(f"{what:34} {got:12} {mark}")
    for unwanted in (".tls", ".reloc"):
        if any(s.name == unwanted for s in pe.sections):
            print(f"FAIL: a {unwanted} section is present")
            failed = True

    print(f"\n{os.path.basename(path)}: {len(pe.data)} bytes; image base {pe.image_base:#x}")
    print(f"{'section':10} {'in file':>9} {'in memory':>10}")
    for s in pe.sections:
        print(f"{s.name:10} {s.raw_size:9} {s.virtual_size:10}")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: check_header.py EXE")
    sys.exit(main(sys.argv[1]))
