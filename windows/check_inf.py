#!/usr/bin/env python3
"""Checks the driver package's INF: every install section that a models
section names has a hardware section ("<install section>.HW") whose AddReg
sections give the whole device stack the driver's security and the
secure-open characteristic:

    HKR,,Security,,"D:P(A;;GA;;;SY)(A;;GA;;;BA)"
    HKR,,DeviceCharacteristics,0x10001,0x100

Without them the device objects below the driver's (the ACPI device, which
any program can name) keep the platform's default descriptor, and an open by
their name reaches the driver's device.

Usage: check_inf.py INF. Prints "OK: ..." and exits 0, or one "FAIL: ..." line
per fault and exits 1.
"""

import sys

SECURITY = "D:P(A;;GA;;;SY)(A;;GA;;;BA)"
SECURE_OPEN = 0x100
FLG_ADDREG_TYPE_DWORD = 0x10001


def uncommented(line):
    """The line without its comment: a ";" outside double quotes starts one."""
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def fields(text):
    """Fields split at commas outside quotes, stripped, unquoted."""
    result, current, quoted = [], "", False
    for c in text:
        if c == '"':
            quoted = not quoted
        elif c == "," and not quoted:
            result.append(current.strip())
            current = ""
        else:
            current += c
    result.append(current.strip())
    return result


def read_sections(text):
    """Lower-case section name -> its lines, comments and blanks removed."""
    sections, current = {}, None
    for raw in text.splitlines():
        line = uncommented(raw).strip()
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].strip().lower(), [])
        elif line and current is not None:
            current.append(line)
    return sections


def directive(lines, key):
    """The values of "KEY = a, b" lines."""
    values = []
    for line in lines:
        name, equals, value = line.partition("=")
        if equals and name.strip().lower() == key:
            values += [v.lower() for v in fields(value) if v]
    return values


def install_sections(sections):
    """The install sections the models sections name, as the platform picks
    them for x64: the NTamd64 decoration first, then NT, then none."""
    models = []
    for line in sections.get("manufacturer", []):
        _, _, value = line.partition("=")
        parts = [p.lower() for p in fields(value)]
        if parts and parts[0]:
            base = parts[0]
            decorations = parts[1:]
            models += [base + "." + d for d in decorations if d] or [base]
    found = []
    for model in models:
        for line in sections.get(model, []):
            _, equals, value = line.partition("=")
            parts = fields(value)
            if not equals or not parts[0]:
                continue
            base = parts[0].lower()
            for candidate in (base + ".ntamd64", base + ".nt", base):
                if candidate in sections:
                    if candidate not in found:
                        found.append(candidate)
                    break
    return found


def check(text):
    """The faults of an INF's text, one line each."""
    sections = read_sections(text)
    installs = install_sections(sections)
    if not installs:
        return ["no install section named by a models section"]
    faults = []
    for install in installs:
        hardware = install + ".hw"
        if hardware not in sections:
            faults.append(f"[{install}] has no hardware section [{hardware}]")
            continue
        security, characteristics = [], []
        for name in directive(sections[hardware], "addreg"):
            if name not in sections:
                faults.append(f"[{hardware}] names the missing AddReg section [{name}]")
                continue
            for line in sections[name]:
                f = fields(line)
                if len(f) != 5 or f[0].lower() != "hkr" or f[1]:
                    continue
                if f[2].lower() == "security":
                    security.append((f[3], f[4]))
                elif f[2].lower() == "devicecharacteristics":
                    characteristics.append((f[3], f[4]))
        if security != [("", SECURITY)]:
            faults.append(f"[{hardware}] must set Security to \"{SECURITY}\" once, as REG_SZ")
        try:
            good = len(characteristics) == 1 and int(characteristics[0][0], 0) == \
                FLG_ADDREG_TYPE_DWORD and int(characteristics[0][1], 0) & SECURE_OPEN
        except ValueError:
            good = False
        if not good:
            faults.append(f"[{hardware}] must set DeviceCharacteristics with "
                          f"FILE_DEVICE_SECURE_OPEN (0x100) once, as a REG_DWORD (0x10001)")
    return faults


def main(argv):
    if len(argv) != 2:
        print("usage: check_inf.py INF", file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8-sig") as file:
        faults = check(file.read())
    for fault in faults:
        print(f"FAIL: {argv[1]}: {fault}")
    if not faults:
        print(f"OK: {argv[1]}: the hardware section secures the whole device stack")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
