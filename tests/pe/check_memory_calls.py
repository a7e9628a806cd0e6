#!/usr/bin/env python3
"""Fails when a function of crt/memory.cpp calls anything, or jumps out of itself.

In the Windows build these functions are memcpy, memset, memcmp, strlen and strcmp, the
ones GCC itself calls for loops it recognises. Should a loop of theirs become such a call
(crt's -fno-tree-loop-distribute-patterns lost), Copy calls memcpy, which is Copy, and
Length turns into 1 + strlen(text + 1): a recursion as deep as the text is long.

The functions are the ones the memory member of crt's archive defines; their code is read
from the disassembly of the unstripped link output.

    check_memory_calls.py OBJDUMP NM CRT_ARCHIVE LINKED_EXE
"""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_instructions import listing  # noqa: E402

MEMBER = "memory.cpp.obj"
TARGET = re.compile(r"^(?:0x)?([0-9a-f]+)\b")


def defined_functions(nm, archive):
    """Code symbols that the memory member of the archive defines, demangled as the
    listing names them."""
    out = subprocess.run([nm, "-A", "-C", "--defined-only", archive],
                         capture_output=True, text=True, check=True).stdout
    names = set()
    for line in out.splitlines():
        # "libgyr_crt.a:memory.cpp.obj:00000000 T crt::Copy(void*, void const*, unsigned int)"
        member_end = line.find(MEMBER + ":")
        if member_end < 0:
            continue
        fields = line[member_end + len(MEMBER) + 1:].split(None, 2)
        if len(fields) == 3 and fields[1] in "Tt" and not fields[2].startswith("."):
            names.add(fields[2])
    return names


def listings(objdump, nm, path):
    """{function name: [(address, instruction text)]} of the link output's code."""
    functions = {}
    for instruction in listing(objdump, nm, path)[0]:
        functions.setdefault(instruction.function, []).append(
            (instruction.address, instruction.text))
    return functions


def calls_out(code):
    """The instructions that leave the function: calls, and jumps beyond its own code."""
    start, end = code[0][0], code[-1][0]
    found = []
    for address, text in code:
        tokens = text.split(None, 1)
        if not tokens:
            continue
        mnemonic, operand = tokens[0], tokens[1] if len(tokens) > 1 else ""
        if mnemonic in ("call", "lcall"):
            found.append((address, text))
        elif mnemonic == "jmp" or mnemonic == "ljmp":
            target = TARGET.match(operand)
            if target is None or not start <= int(target.group(1), 16) <= end:
                found.append((address, text))
    return found


def main(objdump, nm, archive, linked):
    names = defined_functions(nm, archive)
    if not names:
        print(f"FAIL: {archive} has no member {MEMBER} defining code")
        return 1
    functions = listings(objdump, nm, linked)
    present = sorted(n for n in names if functions.get(n))
    if not present:
        print(f"FAIL: none of {', '.join(sorted(names))} is in {os.path.basename(linked)}")
        return 1
    problems = []
    for name in present:
        code = functions[name]
        out = calls_out(code)
        print(f"{name}: {len(code)} instructions, {len(out)} leaving it")
        problems += [f"  {name}: {address:#x} {text}" for address, text in out]
    left_out = sorted(names - set(present))
    if left_out:
        print("not linked in: " + ", ".join(left_out))
    if problems:
        print(f"\nFAIL: crt's memory functions must not call anything (they are what the "
              f"compiler's calls reach):")
        print("\n".join(problems))
        return 1
    print("no call leaves crt's memory functions")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit("usage: check_memory_calls.py OBJDUMP NM CRT_ARCHIVE LINKED_EXE")
    sys.exit(main(*sys.argv[1:]))
