#!/usr/bin/env python3
"""Checks that an image carries its symbols as the platform's debuggers and
crash analysis look for them: a debug directory whose CodeView record names
the PDB by file name alone, no COFF symbol table in the image, and the PDB
beside the image, matching it (GUID and age), with symbols and line
information for the routines named.

The image is read through llvm-readobj, the PDB through llvm-pdbutil. Every
fault found is printed as one line starting with "FAIL:"; the exit status is
1 when there is any, 2 when the image cannot be read.

    check_symbols.py IMAGE [--lines ROUTINE]...

check_image.py uses the same routines for kernel images, and places routines
in sections by the PDB's symbols.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys


class ToolError(Exception):
    pass


def find_tool(name):
    for candidate in (name, name + "-14", "/usr/lib/llvm-14/bin/" + name):
        path = shutil.which(candidate)
        if path:
            return path
    raise ToolError(f"{name} not found (Debian package llvm)")


def run_tool(name, *args, stdin=None):
    result = subprocess.run(
        [find_tool(name), *args], input=stdin, capture_output=True, text=True, check=False
    )
    if result.returncode != 0:
        raise ToolError(f"{name} {' '.join(args)}: {result.stderr.strip()}")
    return result.stdout


def pdbutil(pdb, *options):
    return run_tool("llvm-pdbutil", "dump", *options, pdb)


def guid_text(data):
    """A GUID's 16 bytes as the registry-style text llvm-pdbutil prints."""
    return "{%02X%02X%02X%02X-%02X%02X-%02X%02X-%s-%s}" % (
        data[3], data[2], data[1], data[0], data[5], data[4], data[7], data[6],
        data[8:10].hex().upper(), data[10:16].hex().upper(),
    )


# ---------------------------------------------------------------------------
# The image: debug directory and symbol table


def codeview_record(image):
    """(GUID text, age, PDB name) of the image's CodeView debug record; None
    when the image has no debug directory, () when it has one without a
    CodeView record."""
    text = run_tool("llvm-readobj", "--coff-debug-directory", image)
    if "DebugEntry {" not in text:
        return None
    match = re.search(
        r"PDBGUID: \(([0-9A-F ]+)\)\s*\n\s*PDBAge: (\d+)\s*\n\s*PDBFileName: (.*)$",
        text,
        re.MULTILINE,
    )
    if not match:
        return ()
    guid = guid_text(bytes.fromhex(match.group(1).replace(" ", "")))
    return guid, int(match.group(2)), match.group(3).strip()


def symbol_table_entries(image):
    """Entries of the image's COFF symbol table, and whether it has one at all
    (a string table alone, for long section names, also counts: the
    debugging sections that need one belong in the PDB)."""
    headers = run_tool("llvm-readobj", "--file-headers", image)
    pointer = re.search(r"PointerToSymbolTable: (0x[0-9A-Fa-f]+)", headers)
    count = re.search(r"SymbolCount: (\d+)", headers)
    return int(count.group(1)) if count else 0, bool(pointer and int(pointer.group(1), 16))


def check_debug_directory(image, failures):
    """Checks the debug directory and the absence of a symbol table; returns
    the path of the PDB the image names and the (GUID, age) it expects, or
    None."""
    entries, table = symbol_table_entries(image)
    if table:
        failures.append(
            f"the image carries a COFF symbol table ({entries} entries): "
            "its symbols belong in the PDB"
        )
    record = codeview_record(image)
    if record is None:
        failures.append("no debug directory: a debugger finds no PDB for the image")
        return None
    if not record:
        failures.append("the debug directory has no CodeView record naming a PDB")
        return None
    guid, age, name = record
    if not name:
        failures.append("the debug record names no PDB")
        return None
    if re.search(r"[\\/:]", name):
        failures.append(
            f'the debug record names the PDB "{name}", expected the file name alone '
            "(no build folder)"
        )
        name = re.split(r"[\\/:]", name)[-1]
    wanted = os.path.splitext(os.path.basename(image))[0] + ".pdb"
    if name.lower() != wanted.lower():
        failures.append(f'the debug record names the PDB "{name}", expected "{wanted}"')
    return os.path.join(os.path.dirname(image), name), (guid, age)


def check_pdb_matches(pdb, expected, failures):
    """Whether the PDB is there and is the image's own: a debugger takes a
    PDB only when its GUID and age are those of the image's record."""
    if not os.path.isfile(pdb):
        failures.append(f"no {os.path.basename(pdb)} beside the image")
        return False
    summary = pdbutil(pdb, "--summary")
    guid = re.search(r"GUID: (\{[0-9A-F-]+\})", summary)
    age = re.search(r"Age: (\d+)", summary)
    found = (guid.group(1) if guid else None, int(age.group(1)) if age else None)
    if found != expected:
        failures.append(
            f"{os.path.basename(pdb)} is not the image's (GUID {found[0]}, age {found[1]}; "
            f"the image expects {expected[0]}, age {expected[1]})"
        )
        return False
    return True


# ---------------------------------------------------------------------------
# The PDB: routines, their sections and lines


def section_numbers(image):
    """Section number -> name, from the image's section table."""
    text = run_tool("llvm-readobj", "--sections", image)
    return {
        int(number): name
        for number, name in re.findall(r"Number: (\d+)\s*\n\s*Name: (\S*)", text)
    }


def plain_name(readable):
    """"Namespace::Routine(ARGS)" and "Routine" both name Routine."""
    return readable.split("(", 1)[0].rsplit("::", 1)[-1].strip()


def pdb_routines(pdb):
    """Plain routine name -> list of (section number, offset, code size or
    None), from the public symbols (every external routine) and the
    procedure records of the modules (static routines too; only these carry
    a code size)."""
    routines = {}
    publics = re.findall(
        r"S_PUB32 \[size = \d+\] `(.*)`\s*\n\s*flags = ([^,]*), addr = (\d+):(\d+)",
        pdbutil(pdb, "--publics"),
    )
    functions = [(n, int(s), int(o)) for n, flags, s, o in publics if "function" in flags]
    if functions:
        readable = run_tool(
            "llvm-cxxfilt", stdin="\n".join(n for n, _, _ in functions) + "\n"
        ).splitlines()
        for (_, section, offset), name in zip(functions, readable):
            routines.setdefault(plain_name(name), []).append((section, offset, None))
    for name, section, offset, size in re.findall(
        r"S_[GL]PROC32 \[size = \d+\] `(.*)`\s*\n.*addr = (\d+):(\d+), code size = (\d+)",
        pdbutil(pdb, "--symbols"),
    ):
        routines.setdefault(plain_name(name), []).append((int(section), int(offset), int(size)))
    return routines


def line_ranges(pdb):
    """(section, start, end) of every block of line information."""
    return [
        (int(section), int(start, 16), int(end, 16))
        for section, start, end in re.findall(
            r"^\s*(\d+):([0-9A-Fa-f]+)-([0-9A-Fa-f]+), line/addr entries = [1-9]",
            pdbutil(pdb, "-l"),
            re.MULTILINE,
        )
    ]


def check_lines(pdb, routines, failures):
    """Each routine has a procedure record and line information for its code."""
    if not routines:
        return
    known = pdb_routines(pdb)
    ranges = line_ranges(pdb)
    for routine in routines:
        procedures = [entry for entry in known.get(routine, []) if entry[2] is not None]
        if not procedures:
            failures.append(f"routine {routine} has no procedure symbol in the PDB")
            continue
        for section, offset, _ in procedures:
            if not any(s == section and start <= offset <= end for s, start, end in ranges):
                failures.append(f"routine {routine} has no line information in the PDB")
                break


def check_symbols(image, lines, failures):
    """Checks the image's debug directory and its PDB; returns the PDB's path
    when it is the image's own, else None."""
    found = check_debug_directory(image, failures)
    if found is None:
        return None
    pdb, expected = found
    if not check_pdb_matches(pdb, expected, failures):
        return None
    check_lines(pdb, lines, failures)
    return pdb


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("image", help="the image, e.g. dist/vktctl.exe")
    parser.add_argument(
        "--lines",
        action="append",
        default=[],
        metavar="ROUTINE",
        help="fail unless the PDB has ROUTINE with line information (repeatable)",
    )
    args = parser.parse_args(argv)
    if not os.path.isfile(args.image):
        print(f"FAIL: {args.image}: no such file")
        return 2
    failures = []
    try:
        pdb = check_symbols(args.image, args.lines, failures)
    except (ToolError, ValueError) as error:
        print(f"FAIL: {args.image}: cannot read the image or its PDB: {error}")
        return 2
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        print(f"{args.image}: {len(failures)} problem(s)")
        return 1
    print(
        f"OK: {args.image}: debug directory naming {os.path.basename(pdb)}, "
        "no COFF symbol table, the PDB matches"
        + (f", lines for: {', '.join(args.lines)}" if args.lines else "")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
