#!/usr/bin/env python3
"""Fails when an executable section holds an instruction that an 80386 without a coprocessor
cannot run, and names the function that holds it.

Reads the unstripped link output, whose symbols name the functions. Every instruction must be
in the list below of the 386's integer instructions that a Windows program may use: whatever
the 486 and later processors added (BSWAP, CMPXCHG, XADD, CPUID, RDTSC, CMOVcc, the long NOP
0F 1F, UD2, ...), MMX, SSE and every x87 instruction fail. The linker's constructor and
destructor lists sit inside .text; they are data and are skipped.

    check_instructions.py OBJDUMP NM LINKED_EXE [SHIPPED_EXE]

With the shipped (stripped) file given, its executable sections must hold the same bytes as
the link output's, so that what was checked is what ships.
"""

import collections
import os
import re
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pe_file import PeFile  # noqa: E402

# As the disassembler writes them in Intel syntax.
ALLOWED = set("""
aaa aad aam aas adc add and bound bsf bsr bt btc btr bts call cbw cwde cwd cdq clc cld cmc
cmp cmps cmpsb cmpsw cmpsd daa das dec div enter idiv imul inc int3 ja jae jb jbe jcxz jecxz
je jg jge jl jle jmp jne jno jnp jns jo jp js lahf lds lea leave les lfs lgs lods lodsb lodsw
lodsd loop loope loopne lss mov movs movsb movsw movsd movsx movzx mul neg nop not or pop popa
popad popf popfd push pusha pushad pushf pushfd rcl rcr ret retf lret rol ror sahf sal sar sbb
scas scasb scasw scasd seta setae setb setbe sete setg setge setl setle setne setno setnp setns
seto setp sets shl shld shr shrd stc std stos stosb stosw stosd sub test xchg xlat xor
""".split())

# Written before the instruction they modify.
PREFIXES = set("rep repz repe repnz repne lock cs ds es fs gs ss data16 addr16".split())

# Registers of the x87, MMX and SSE units in an operand.
NON_INTEGER_REGISTER = re.compile(r"\b(st(\(\d\))?|mm\d|[xyz]mm\d+)\b")

LABEL = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\t(.*)$")


def symbol_address(nm, path, names):
    out = subprocess.run([nm, path], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2] in names:
            return int(fields[0], 16)
    return None


def data_ranges(pe, nm, path):
    """The constructor and destructor lists: -1, the entries, a null word."""
    ranges = []
    for names in (("___CTOR_LIST__", "__CTOR_LIST__"), ("___DTOR_LIST__", "__DTOR_LIST__")):
        start = symbol_address(nm, path, names)
        if start is None:
            continue
        end = start + 4
        while struct.unpack("<I", pe.read(end, 4))[0] != 0:
            end += 4
        ranges.append((start, end + 4))
    return ranges


def offence(text):
    """Why the instruction is not allowed, or None."""
    if text.strip() == "(bad)":
        return "undecodable bytes"
    tokens = text.split()
    while len(tokens) > 1 and tokens[0] in PREFIXES:
        tokens = tokens[1:]
    mnemonic = tokens[0]
    operands = " ".join(tokens[1:])
    operands = re.sub(r"<[^>]*>", "", operands)  # symbol names after addresses
    if mnemonic not in ALLOWED:
        return f"{mnemonic} is no 80386 integer instruction"
    if mnemonic == "nop" and operands:
        return "the long NOP (0F 1F) came with the Pentium Pro"
    if NON_INTEGER_REGISTER.search(operands):
        return "x87, MMX or SSE register"
    return None


# One instruction of the listing: its size runs to the next one, or to the section's end.
Instruction = collections.namedtuple("Instruction", "section function address size text")


def listing(objdump, nm, path):
    """The instructions of every executable section as the disassembler reads them, in
    address order, less the constructor and destructor lists."""
    pe = PeFile(path)
    skip = data_ranges(pe, nm, path)
    instructions = []
    for section in pe.sections:
        if not section.executable:
            continue
        out = subprocess.run([objdump, "-D", "-M", "intel", "-C", "--no-show-raw-insn",
                              "-j", section.name, path],
                             capture_output=True, text=True, check=True).stdout
        function = "(before any symbol)"
        lines = []
        for line in out.splitlines():
            label = LABEL.match(line)
            if label:
                function = label.group(2)
                continue
            instruction = INSTRUCTION.match(line)
            if instruction:
                lines.append((int(instruction.group(1), 16), function,
                              instruction.group(2).split("#")[0].strip()))
        end = pe.image_base + section.virtual_address + max(section.virtual_size, section.raw_size)
        for i, (address, function, text) in enumerate(lines):
            following = lines[i + 1][0] if i + 1 < len(lines) else end
            if not any(start <= address < stop for start, stop in skip):
                instructions.append(Instruction(section.name, function, address,
                                                following - address, text))
    return instructions, len(skip)


def section_bytes(pe):
    return {s.name: pe.data[s.raw_offset:s.raw_offset + s.raw_size] for s in pe.sections if s.executable}


def main(objdump, nm, path, shipped=None):
    pe = PeFile(path)
    executable = [s.name for s in pe.sections if s.executable]
    if not executable:
        print("FAIL: no executable section")
        return 1
    if shipped is not None and section_bytes(PeFile(shipped)) != section_bytes(pe):
        print(f"FAIL: the executable sections of {os.path.basename(shipped)} differ from the "
              f"link output's {', '.join(executable)}")
        return 1
    counts = collections.Counter()
    functions = set()
    problems = []
    instructions, skipped = listing(objdump, nm, path)
    for instruction in instructions:
        text = instruction.text
        why = offence(text)
        if why:
            problems.append(f"{instruction.function}: {instruction.address:#x} {text}   ({why})")
        else:
            tokens = text.split()
            counts[" ".join(tokens[:2]) if tokens[0] in PREFIXES else tokens[0]] += 1
            functions.add(instruction.function)
    total = sum(counts.values())
    print(f"sections {', '.join(executable)}: {total} instructions in {len(functions)} functions; "
          f"constructor and destructor lists skipped: {skipped}")
    print("mnemonics: " + ", ".join(f"{m} {n}" for m, n in counts.most_common()))
    if problems:
        by_function = collections.Counter(p.split(": ")[0] for p in problems)
        print(f"\nFAIL: {len(problems)} instructions an 80386 without a coprocessor cannot run, "
              f"in {len(by_function)} functions:")
        for p in problems:
            print("  " + p)
        return 1
    print("all 80386 integer instructions")
    return 0


if __name__ == "__main__":
    if len(sys.argv) not in (4, 5):
        sys.exit("usage: check_instructions.py OBJDUMP NM LINKED_EXE [SHIPPED_EXE]")
    sys.exit(main(*sys.argv[1:]))
