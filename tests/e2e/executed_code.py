#!/usr/bin/env python3
"""Checks the 80386 rule on the code that really ran: where Wine's 32-bit side runs under
qemu-i386, qemu logs every block of gyrsetup.exe's .text that it translates, and each
address it logs must start an instruction of the listing that the static check
(tests/pe/check_instructions.py) reads. So the static check read the code the processor
ran, not bytes that it decoded out of step. Prints which functions ran and what share of
.text.

    executed_code.py --native-build DIR --win32-build DIR OBJDUMP NM

Exits 77 (CTest's skip code) on a host whose kernel runs i386 programs itself: no qemu
runs them there, so nothing can be traced.
"""

import argparse
import collections
import glob
import os
import re
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "pe"))

import native  # noqa: E402
import scenarios  # noqa: E402
from wine import session  # noqa: E402
from check_instructions import listing  # noqa: E402
from pe_file import PeFile  # noqa: E402

SKIP = 77
BINFMT = "/proc/sys/fs/binfmt_misc"
# The result dialog after probing absent ports, the port-selection dialog, and the message
# box of a machine without the joystick driver's keys: between them they take the install's
# paths through both dialogs, both hardware records and what the user is told otherwise.
SCENARIOS = ("controller_on_port3_of_4", "not_found_user_picks_com3", "no_joystick_driver_keys")
# "0x00401000:  55                       pushl    %ebp": the address and the bytes that
# qemu translated; its AT&T mnemonics are not read. An instruction of more than eight bytes
# goes on in a line of bytes alone, at the address of its ninth.
LOGGED = re.compile(r"^0x([0-9a-f]+):  ([0-9a-f]{2}(?: [0-9a-f]{2})*)(  +\S.*)?$")


def qemu_runs_i386():
    """Whether binfmt_misc hands i386 programs to qemu-i386 (it is asked before the
    kernel's own ELF loader)."""
    try:
        with open(os.path.join(BINFMT, "status")) as f:
            if f.read().strip() != "enabled":
                return False
        entries = os.listdir(BINFMT)
    except OSError:
        return False
    for entry in entries:
        try:
            with open(os.path.join(BINFMT, entry)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        if lines and lines[0] == "enabled" and any(
                line.startswith("interpreter ") and line.endswith("qemu-i386") for line in lines):
            return True
    return False


def text_section(pe):
    for section in pe.sections:
        if section.name == ".text":
            return section
    raise SystemExit("FAIL: gyrsetup.exe has no .text section")


def read_log(path):
    """{address: bytes} of every instruction that one qemu log translated."""
    logged = {}
    last = None
    with open(path, errors="replace") as f:
        for line in f:
            match = LOGGED.match(line.rstrip("\n"))
            if not match:
                last = None
                continue
            address, data = int(match.group(1), 16), bytes.fromhex(match.group(2))
            if match.group(3) is None and last is not None and \
                    last + len(logged[last]) == address:
                logged[last] += data
            else:
                logged[address] = data
                last = address
    return logged


def own_log(folder, pe, start, size):
    """The addresses from the one log whose translated bytes are gyrsetup.exe's own: Wine's
    own programs load at 0x400000 too, and their logs fall in the same range."""
    text = text_section(pe)
    image = pe.data[text.raw_offset:text.raw_offset + text.raw_size]
    base = pe.image_base + text.virtual_address
    found = []
    for path in sorted(glob.glob(os.path.join(folder, "q.*.log"))):
        logged = read_log(path)
        if logged and all(start <= a < start + size and
                          image[a - base:a - base + len(b)] == b for a, b in logged.items()):
            found.append((path, logged))
    if len(found) != 1:
        names = [os.path.basename(p) for p, _ in found]
        raise SystemExit(f"FAIL: {len(found)} qemu logs in {folder} hold gyrsetup.exe's own "
                         f"code ({names}), want 1")
    return found[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--native-build", required=True)
    parser.add_argument("--win32-build", required=True)
    parser.add_argument("objdump")
    parser.add_argument("nm")
    args = parser.parse_args()
    if not qemu_runs_i386():
        print("SKIP: this kernel runs i386 programs itself; no qemu-i386 runs Wine, so there "
              "is nothing to trace")
        return SKIP
    session.stop_on_signals()
    paths = native.Paths(os.path.abspath(args.native_build), os.path.abspath(args.win32_build))
    missing = paths.missing()
    if missing:
        print("FAIL: not built: " + ", ".join(missing))
        return 1
    shipped = PeFile(paths.installer)
    text = text_section(shipped)
    start = shipped.image_base + text.virtual_address
    size = text.virtual_size
    instructions, _ = listing(args.objdump, args.nm,
                              os.path.join(args.win32_build, "app", "gyrsetup.unstripped.exe"))
    starts = {i.address: i for i in instructions if i.section == ".text"}
    if not starts:
        print("FAIL: the listing holds no .text instruction")
        return 1

    executed = set()
    for name in SCENARIOS:
        folder = os.path.join(paths.e2e_dir, "executed-code", name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        # %d: one log per process; without it each process overwrites the last one's.
        env = {"QEMU_LOG": "in_asm", "QEMU_DFILTER": f"{start:#x}+{size:#x}",
               "QEMU_LOG_FILENAME": os.path.join(folder, "q.%d.log")}
        scenario = next(s for s in scenarios.SCENARIOS if s.name == name)
        if scenarios.run(scenario, paths, keep=False, deadline=240, program_env=env) != 0:
            print(f"FAIL: the scenario {name} failed under qemu's log")
            return 1
        path, logged = own_log(folder, shipped, start, size)
        print(f"  {name}: {len(logged)} instruction addresses in {os.path.basename(path)}")
        executed |= set(logged)

    strays = sorted(a for a in executed if a not in starts)
    by_function = collections.defaultdict(int)
    for i in starts.values():
        by_function[i.function] += 0
    for a in executed:
        if a in starts:
            by_function[starts[a].function] += 1
    ran = sorted(f for f, n in by_function.items() if n)
    never = sorted(f for f, n in by_function.items() if not n)
    total_bytes = sum(i.size for i in starts.values())
    ran_bytes = sum(starts[a].size for a in executed if a in starts)
    summary = [
        f"qemu-i386 translated {len(executed)} distinct instruction addresses of gyrsetup.exe's "
        f".text ({start:#x}+{size:#x}) in {len(SCENARIOS)} scenarios: {', '.join(SCENARIOS)}",
        f"functions that ran: {len(ran)} of {len(by_function)}",
        f"share of .text that ran: {ran_bytes} of {total_bytes} instruction bytes "
        f"({100 * ran_bytes / total_bytes:.0f}%)"]
    if strays:
        summary.append(f"FAIL: {len(strays)} executed addresses start no instruction of the "
                       "listing that the static check read:")
        for a in strays[:50]:
            before = max((s for s in starts if s < a), default=None)
            where = f"inside {starts[before].function} at {before:#x} {starts[before].text}" \
                if before is not None else "before the first instruction"
            summary.append(f"  {a:#x} {where}")
    else:
        summary.append("every executed address starts an instruction of the static check's listing")
    summary.append("functions that never ran:" + ("" if never else " none"))
    summary += [f"  {f}" for f in never]
    print("\n".join(summary[:2] + [f"  {f}" for f in ran] + summary[2:]))
    # CTest shows a passing test's output only in its log: the short form stays here as well,
    # for scripts/test to print.
    with open(os.path.join(paths.e2e_dir, "executed-code", "report.txt"), "w") as f:
        f.write("\n".join(summary) + "\n")
    return 1 if strays else 0


if __name__ == "__main__":
    sys.exit(main())
