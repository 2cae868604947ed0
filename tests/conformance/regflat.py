#!/usr/bin/env python3
"""Flattens registry export files (.reg, as `reg export` writes them) into lines the
conformance run looks entries up in, one per key and one per value:

    K <TAB> HKLM\\KEY
    V <TAB> HKLM\\KEY <TAB> NAME <TAB> NAME TYPE DATA

The last field is what `reg query KEY /v NAME` prints for the value, so a check compares
the same words either way. Roots come out short (HKLM, HKCU), names as stored.

    regflat.py FILE.reg...
"""
import struct
import sys

ROOTS = {"HKEY_LOCAL_MACHINE": "HKLM", "HKEY_CURRENT_USER": "HKCU",
         "HKEY_CLASSES_ROOT": "HKCR", "HKEY_USERS": "HKU", "HKEY_CURRENT_CONFIG": "HKCC"}

# hex(N): type numbers as `reg query` names them.
TYPES = {0: "REG_NONE", 1: "REG_SZ", 2: "REG_EXPAND_SZ", 3: "REG_BINARY", 4: "REG_DWORD",
         5: "REG_DWORD_BIG_ENDIAN", 6: "REG_LINK", 7: "REG_MULTI_SZ", 8: "REG_RESOURCE_LIST",
         9: "REG_FULL_RESOURCE_DESCRIPTOR", 10: "REG_RESOURCE_REQUIREMENTS_LIST", 11: "REG_QWORD"}


def decode(raw):
    """The text of an export file: UTF-16 with a byte order mark, else 8-bit."""
    if raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return raw.decode("utf-16")
    return raw.decode("latin-1")


def logical_lines(text):
    """Lines with the continuations of long hex data (a trailing backslash) joined."""
    pending = ""
    for line in text.splitlines():
        line = line.rstrip()
        if pending:
            line = pending + line.lstrip()
            pending = ""
        if line.endswith("\\") and "=hex" in line:
            pending = line[:-1]
            continue
        yield line
    if pending:
        yield pending


def short_key(name):
    root, _, rest = name.partition("\\")
    root = ROOTS.get(root.upper(), root)
    return root + ("\\" + rest if rest else "")


def quoted(text, start):
    """The unescaped text of the quoted string at text[start] and the index after it."""
    out, i = [], start + 1
    while i < len(text) and text[i] != '"':
        if text[i] == "\\" and i + 1 < len(text):
            i += 1
        out.append(text[i])
        i += 1
    return "".join(out), i + 1


def utf16_strings(data):
    text = data.decode("utf-16-le", errors="replace")
    return text.split("\0")


def shown(kind, data):
    """The type and data words `reg query` prints for a value of type KIND with bytes DATA."""
    name = TYPES.get(kind, "0x%x" % kind)
    if kind in (1, 2, 6):
        return name, utf16_strings(data)[0]
    if kind == 4 and len(data) >= 4:
        return name, "0x%x" % struct.unpack("<I", data[:4])[0]
    if kind == 11 and len(data) >= 8:
        return name, "0x%x" % struct.unpack("<Q", data[:8])[0]
    if kind == 7:
        parts = utf16_strings(data)
        while parts and parts[-1] == "":
            parts.pop()
        return name, "\\0".join(parts)
    return name, data.hex().upper()


def value_of(spec):
    """Type and data words of the right-hand side of a NAME=... line, or None."""
    if spec.startswith('"'):
        return "REG_SZ", quoted(spec, 0)[0]
    if spec.startswith("dword:"):
        return "REG_DWORD", "0x%x" % int(spec[6:], 16)
    if spec.startswith("hex"):
        kind, _, body = spec.partition(":")
        number = int(kind[4:-1], 16) if kind.startswith("hex(") else 3
        data = bytes(int(b, 16) for b in body.replace(" ", "").split(",") if b)
        return shown(number, data)
    return None


def flatten(path, out):
    key = None
    for line in logical_lines(decode(open(path, "rb").read())):
        if line.startswith("[") and line.endswith("]"):
            key = short_key(line[1:-1])
            out.write("K\t%s\n" % key)
        elif key and (line.startswith('"') or line.startswith("@=")):
            if line.startswith("@="):
                name, rest = "(Default)", line[2:]
            else:
                name, end = quoted(line, 0)
                if not line[end:].startswith("="):
                    continue
                rest = line[end + 1:]
            value = value_of(rest.strip())
            if value:
                out.write("V\t%s\t%s\t%s %s %s\n" % (key, name, name, value[0], value[1]))


def main(paths):
    for path in paths:
        flatten(path, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
