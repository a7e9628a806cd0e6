#!/usr/bin/env python3
"""Checks the 80386 rule on the code that really ran: where Wine's 32-bit side runs under
qemu-i386, qemu logged every block of gyrsetup.exe's .text that it translated while three
scenarios of this CTest run ran (tests/e2e/traces.py), and each
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
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "pe"))

import native  # noqa: E402
import traces  # noqa: E402
from check_instructions import listing  # noqa: E402
from pe_file import PeFile  # noqa: E402

SKIP = 77
# "0x00401000:  55                       pushl    %ebp": the address and the bytes that
# qemu translated; its AT&T mnemonics are not read. An instruction of more than eight bytes
# goes on in a line of bytes alone, at the address of its ninth.
LOGGED = re.compile(r"^0x([0-9a-f]+):  ([0-9a-f]{2}(?: [0-9a-f]{2})*)(  +\S.*)?$")


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
    if not traces.qemu_runs_i386():
        print("SKIP: this kernel runs i386 programs itself; no qemu-i386 runs Wine, so there "
              "is nothing to trace")
        return SKIP
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

    # The scenarios traced what they ran as they ran in this CTest run; a trace another run
    # left is refused.
    stale = traces.problems(paths.e2e_dir)
    if stale:
        print("FAIL: " + "\nFAIL: ".join(stale))
        return 1
    executed = set()
    for name in traces.TRACED:
        path, logged = own_log(traces.folder(paths.e2e_dir, name), shipped, start, size)
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
        f".text ({start:#x}+{size:#x}) in {len(traces.TRACED)} scenarios: {', '.join(traces.TRACED)}",
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
    with open(os.path.join(traces.root(paths.e2e_dir), "report.txt"), "w") as f:
        f.write("\n".join(summary) + "\n")
    return 1 if strays else 0


if __name__ == "__main__":
    sys.exit(main())
