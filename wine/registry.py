"""Reads a Wine hive file (system.reg) as the ANSI registry API would see it, and writes the
REGEDIT4 text that Wine's regedit imports.

Wine keeps text values as UTF-16 with escapes and drops the terminating zero when it
saves them; RegQueryValueExA hands them back as 8-bit text of one byte per character
with that zero restored. Binary and other values are kept as written.
"""

import re

REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_DWORD = 4
REG_MULTI_SZ = 7
_HEX_VALUE = re.compile(r'"=hex(\([0-9a-fA-F]+\))?:|^@=hex')
_SIMPLE_ESCAPES = {"a": 7, "b": 8, "t": 9, "n": 10, "v": 11, "f": 12, "r": 13, "e": 27}


class HiveFormatError(Exception):
    pass


def _unescape(text, pos, terminator):
    """Decodes an escaped string starting at pos up to the unescaped terminator.
    Returns (list of UTF-16 code units, position after the terminator)."""
    units = []
    n = len(text)
    while pos < n:
        c = text[pos]
        if c == terminator:
            return units, pos + 1
        if c != "\\":
            units.append(ord(c))
            pos += 1
            continue
        pos += 1
        if pos >= n:
            break
        c = text[pos]
        if c in _SIMPLE_ESCAPES:
            units.append(_SIMPLE_ESCAPES[c])
            pos += 1
        elif c == "x":
            end = pos + 1
            while end < n and end < pos + 5 and text[end] in "0123456789abcdefABCDEF":
                end += 1
            if end == pos + 1:
                raise HiveFormatError(f"bad hex escape near {text[pos - 1:pos + 6]!r}")
            units.append(int(text[pos + 1:end], 16))
            pos = end
        elif c in "01234567":
            end = pos
            while end < n and end < pos + 3 and text[end] in "01234567":
                end += 1
            units.append(int(text[pos:end], 8))
            pos = end
        else:
            units.append(ord(c))
            pos += 1
    raise HiveFormatError(f"unterminated string: {text[:60]!r}")


def _units_to_ansi(units):
    # Every text this program stores is ASCII; anything else would not round-trip
    # through the ANSI API, so it is kept visible as '?' like the code page would.
    return bytes(u if u < 0x80 else 0x3F for u in units)


def _parse_data(rest, wide_text=True):
    """Returns (type, ANSI bytes) for the text after '=' of a value line. Wine's hive keeps
    hex text values as UTF-16 (wide_text); a REGEDIT4 file keeps them as 8-bit bytes."""
    if rest.startswith('"'):
        units, _ = _unescape(rest, 1, '"')
        return REG_SZ, _units_to_ansi(units) + b"\0"
    if rest.startswith("str("):
        close = rest.index(")")
        kind = int(rest[4:close], 16)
        units, _ = _unescape(rest, close + 3, '"')
        return kind, _units_to_ansi(units) + b"\0"
    if rest.startswith("dword:"):
        return REG_DWORD, int(rest[6:14], 16).to_bytes(4, "little")
    if rest.startswith("hex"):
        colon = rest.index(":")
        kind = REG_BINARY if rest[:colon] == "hex" else int(rest[4:colon - 1], 16)
        digits = rest[colon + 1:].replace(",", "").replace(" ", "").strip()
        raw = bytes.fromhex(digits)
        if wide_text and kind in (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ):
            # Saved as hex because it was no clean UTF-16 text: convert it unit by unit.
            units = [int.from_bytes(raw[i:i + 2], "little") for i in range(0, len(raw) - 1, 2)]
            return kind, _units_to_ansi(units)
        return kind, raw
    raise HiveFormatError(f"unknown value format: {rest[:40]!r}")


def _logical_lines(path):
    """Joins hex data that Wine wraps over several lines with a trailing backslash."""
    with open(path, encoding="utf-8", errors="surrogateescape") as f:
        pending = None
        for raw in f:
            line = raw.rstrip("\n")
            if pending is not None:
                piece = line.strip()
                if piece.endswith("\\"):
                    pending += piece[:-1]
                    continue
                yield pending + piece
                pending = None
                continue
            if line.startswith(('"', "@")) and line.endswith("\\") and _HEX_VALUE.search(line):
                pending = line[:-1]
                continue
            yield line
        if pending is not None:
            yield pending


def read_hive(path, regedit4=False):
    """Returns {key path in lower case: (key path as stored, {value name in lower case:
    (name, type, bytes)})}; key paths are relative to the hive's root, or to
    HKEY_LOCAL_MACHINE for a REGEDIT4 export."""
    keys = {}
    current = None
    root = "HKEY_LOCAL_MACHINE\\"
    for line in _logical_lines(path):
        if line.startswith("["):
            if regedit4:
                name = line[1:line.rindex("]")]
                if name.upper().startswith(root):
                    name = name[len(root):]
            else:
                units, end = _unescape(line, 1, "]")
                name = "".join(chr(u) for u in units)
            current = {}
            keys.setdefault(name.lower(), (name, current))
            current = keys[name.lower()][1]
            continue
        if current is None or not line or line[0] in ";#":
            continue
        if line.startswith("@="):
            name, rest = "", line[2:]
        elif line.startswith('"'):
            units, end = _unescape(line, 1, '"')
            name = "".join(chr(u) for u in units)
            if end >= len(line) or line[end] != "=":
                raise HiveFormatError(f"bad value line: {line[:60]!r}")
            rest = line[end + 1:]
        else:
            continue
        kind, data = _parse_data(rest, wide_text=not regedit4)
        current[name.lower()] = (name, kind, data)
    return keys


class Hive:
    """Case-insensitive lookups in one hive file, as RegOpenKey/RegQueryValueExA do."""

    def __init__(self, path, regedit4=False):
        self.path = path
        self.keys = read_hive(path, regedit4)

    def has_key(self, key):
        """Wine saves a key without values only when it has no subkeys either, so a key
        also exists when something below it is saved."""
        lower = key.lower()
        return lower in self.keys or any(k.startswith(lower + "\\") for k in self.keys)

    def values(self, key):
        """{name: (type, bytes)} of a key, or None when the key is missing."""
        entry = self.keys.get(key.lower())
        if entry is None:
            return None
        return {name: (kind, data) for name, kind, data in entry[1].values()}

    def value(self, key, name):
        """(type, bytes) of a value, or None."""
        entry = self.keys.get(key.lower())
        if entry is None:
            return None
        found = entry[1].get(name.lower())
        return None if found is None else (found[1], found[2])

    def subtree(self, key):
        """{relative key path: {value name: (type, bytes)}} for a key and everything below."""
        base = key.lower()
        out = {}
        for lower, (name, values) in self.keys.items():
            if lower == base or lower.startswith(base + "\\"):
                rel = name[len(key):].lstrip("\\")
                out[rel] = {n: (k, d) for n, k, d in values.values()}
        return out

    def comparable_subtree(self, key):
        """The subtree as both a Wine hive and a full export can show it: every value, and
        every key that holds values or has no subkeys (Wine saves no other keys)."""
        tree = {k.lower(): v for k, v in self.subtree(key).items()}
        out = {}
        for rel, values in tree.items():
            is_leaf = not any(other.startswith(rel + "\\") if rel else other for other in tree
                              if other != rel)
            if values or is_leaf:
                out[rel] = {name.lower(): v for name, v in values.items()}
        return out


def reg_escape(text):
    """A text as a quoted .reg string holds it. A .reg string has no escape for a line
    break, so a text holding one is refused."""
    if "\n" in text or "\r" in text:
        raise ValueError(f"a .reg string cannot hold a line break: {text!r}")
    return text.replace("\\", "\\\\").replace('"', '\\"')


def regedit4_text(keys):
    """REGEDIT4 text of [(root, key, [(value name, text)])]; an empty list makes the key
    alone."""
    lines = ["REGEDIT4", ""]
    for root, key, values in keys:
        lines.append(f"[{root}\\{key}]")
        lines += [f'"{reg_escape(name)}"="{reg_escape(text)}"' for name, text in values]
        lines.append("")
    return "\r\n".join(lines) + "\r\n"
