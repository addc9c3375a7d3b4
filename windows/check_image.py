#!/usr/bin/env python3
"""Checks a built VKTDrv.sys for what makes a kernel image loadable and correct.

The image is read through the LLVM tools (llvm-readobj, llvm-objdump,
llvm-cxxfilt, and llvm-pdbutil for its PDB, see check_symbols.py); only the
version resource and the message table, which they dump as raw bytes, and the
checksum are decoded here. Every fault found is printed as one line starting
with "FAIL:"; the exit status is 1 when there is any, 2 when the image cannot
be read.

    check_image.py IMAGE [--not-paged ROUTINE]... [--lines ROUTINE]...
"""

import argparse
import os
import re
import struct
import subprocess
import sys

import pe_checksum
from check_symbols import ToolError, check_symbols, pdb_routines, run_tool, section_numbers

# Modules the driver may import from: the kernel and the hardware layer.
ALLOWED_MODULES = ("ntoskrnl.exe", "hal.dll")

# Routines that must never be imported. ZwQuerySystemInformation may change
# or vanish between kernel releases. IoCreateDeviceSecure is no kernel export:
# the DDK provides it as a static library, which the driver does not use. The
# driver looks SeConvertStringSecurityDescriptorToSecurityDescriptor up at run
# time, so that a kernel without it still loads the driver.
FORBIDDEN_IMPORTS = (
    "ZwQuerySystemInformation",
    "IoCreateDeviceSecure",
    "SeConvertStringSecurityDescriptorToSecurityDescriptor",
)

# The code of every event-log entry of the driver, and what its message in the
# image's message table must read: the first insertion string the driver
# supplies (%1 is the name of the logging device or driver).
EVENT_CODE = 0x40060001
EVENT_TEXT = "%2"

# Kernel variables the driver imports as data. The import slot holds the
# variable's address: one load through the slot gives the variable's value,
# which is what the driver means (an object type, or the pointer to the
# SE_EXPORTS record). The mingw-w64 headers declare some of them with one
# level of indirection more than the kernel has, so a plain `*Name` makes a
# third load and hands on garbage.
DATA_IMPORTS = ("IoDeviceObjectType", "IoFileObjectType", "PsProcessType", "SeExports")

VERSION_STRING_TABLE = "040904b0"  # US English, Unicode
VERSION_STRINGS = {
    "FileDescription": "VKTDevice Driver",
    "ProductName": "VKTDevice",
    "InternalName": "VKTDrv.sys",
    "OriginalFilename": "VKTDrv.sys",
    "FileVersion": "1.0.3.10",
    "ProductVersion": "1.0.3.10",
}
FIXED_VERSION = (1, 0, 3, 10)
VERSION_TRANSLATION = (0x0409, 1200)
VOS_NT_WINDOWS32 = 0x00040004
VFT_DRV = 0x3
VFT2_DRV_SYSTEM = 0x7
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD

SCN_CNT_CODE = 0x00000020
SCN_MEM_DISCARDABLE = 0x02000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000


def readobj(image, *options):
    return run_tool("llvm-readobj", *options, image)


def field(text, key):
    """The value of the first `key: value` line of llvm-readobj output, or None."""
    match = re.search(r"^\s*" + re.escape(key) + r": (.*)$", text, re.MULTILINE)
    return match.group(1).strip() if match else None


def blocks(text, opener):
    """The bodies of the `opener {` ... `}` blocks of llvm-readobj output."""
    found = []
    lines = text.splitlines()
    index = 0
    while index < len(lines):
        line = lines[index]
        if line.strip() == opener + " {":
            # The block ends at the closing brace indented as its opening line.
            closing = line[: len(line) - len(line.lstrip())] + "}"
            body = []
            index += 1
            while index < len(lines) and lines[index].rstrip() != closing:
                body.append(lines[index])
                index += 1
            found.append("\n".join(body))
        index += 1
    return found


# ---------------------------------------------------------------------------
# Headers


def check_headers(headers, failures):
    machine = field(headers, "Machine") or "none"
    if not machine.startswith("IMAGE_FILE_MACHINE_AMD64"):
        failures.append(f"machine is {machine}, expected IMAGE_FILE_MACHINE_AMD64 (x64)")
    magic = field(headers, "Magic")
    if magic is None or int(magic, 16) != 0x20B:
        failures.append(f"optional header magic is {magic}, expected 0x20B (PE32+)")
    subsystem = field(headers, "Subsystem") or "none"
    if not subsystem.startswith("IMAGE_SUBSYSTEM_NATIVE"):
        failures.append(f"subsystem is {subsystem}, expected IMAGE_SUBSYSTEM_NATIVE")


# ---------------------------------------------------------------------------
# Unwind data

# An instruction that moves the stack pointer: a routine containing one is not
# a leaf and needs unwind data, or the kernel cannot unwind through its frame
# when an exception is dispatched or the system stops.
FRAME_INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+(push|call|enter)|,\s*%rsp\s*$")


def disassemble(image, starts):
    """The image's code as llvm-objdump shows it, one line per instruction,
    with a label line `ADDRESS <Routine>:` where each routine starts. The
    image has no symbol table, so llvm-objdump labels sections only; the
    routines' addresses (`starts`, address -> name) come from the PDB."""
    labelled = []
    for line in run_tool("llvm-objdump", "-d", "--no-show-raw-insn", image).splitlines():
        address = re.match(r"^\s*([0-9a-f]+):", line)
        name = starts.get(int(address.group(1), 16)) if address else None
        if name is not None:
            labelled.append(f"{int(address.group(1), 16):016x} <{name}>:")
        labelled.append(line)
    return labelled


def routine_starts(image, pdb, sections):
    """Virtual address -> name of every routine the PDB knows; empty without
    a PDB."""
    if pdb is None:
        return {}
    base = int(field(readobj(image, "--file-headers"), "ImageBase") or "0", 16)
    addresses = {number: address for number, address, _, _ in sections.values()}
    starts = {}
    for name, places in sorted(pdb_routines(pdb).items()):
        for section, offset, _ in places:
            if section in addresses:
                starts.setdefault(base + addresses[section] + offset, name)
    return starts


def check_unwind(image, disassembly, sections, failures):
    """Routines are told apart by their labels; a section's own label, all an
    image without a PDB or symbol table shows, starts no routine."""
    covered = [
        (int(start, 16), int(end, 16))
        for start, end in re.findall(
            r"StartAddress: .*?\((0x[0-9A-Fa-f]+)\)\s*\n\s*EndAddress: .*?\((0x[0-9A-Fa-f]+)\)",
            readobj(image, "--unwind"),
        )
    ]
    uncovered = []
    routine = None
    for line in disassembly:
        label = re.match(r"^([0-9a-f]+) <(.*)>:$", line)
        if label:
            named = label.group(2) not in sections
            routine = (int(label.group(1), 16), label.group(2)) if named else None
        elif routine and FRAME_INSTRUCTION.search(line):
            address, name = routine
            if not any(start <= address < end for start, end in covered):
                uncovered.append(name)
            routine = None
    if uncovered:
        names = run_tool("llvm-cxxfilt", stdin="\n".join(uncovered) + "\n").splitlines()
        for name in names:
            failures.append(f"routine {name} has a stack frame but no unwind data (.pdata)")


# ---------------------------------------------------------------------------
# Sections and the entry point


def parse_sections(text):
    """Section name -> (number, virtual address, virtual size, characteristics)."""
    sections = {}
    for body in blocks(text, "Section"):
        name = re.search(r"^\s*Name: (\S*)", body, re.MULTILINE).group(1)
        number = int(field(body, "Number"))
        address = int(field(body, "VirtualAddress"), 16)
        size = int(field(body, "VirtualSize"), 16)
        flags = int(re.search(r"Characteristics \[ \((0x[0-9A-Fa-f]+)\)", body).group(1), 16)
        sections.setdefault(name, (number, address, size, flags))
    return sections


def check_sections(sections, entry, failures):
    for name, (_, _, _, flags) in sections.items():
        if flags & SCN_MEM_WRITE and flags & SCN_MEM_EXECUTE:
            failures.append(f"section {name} is both writable and executable")
    for name in ("PAGE", "INIT"):
        if name not in sections:
            failures.append(f"no {name} section")
            continue
        flags = sections[name][3]
        if not (flags & SCN_CNT_CODE and flags & SCN_MEM_EXECUTE):
            failures.append(f"section {name} is not code (characteristics 0x{flags:08X})")
    if "PAGE" in sections and sections["PAGE"][3] & SCN_MEM_DISCARDABLE:
        failures.append("section PAGE is discardable: the kernel would free live code")
    if "INIT" in sections:
        _, start, size, flags = sections["INIT"]
        if not flags & SCN_MEM_DISCARDABLE:
            failures.append("section INIT is not discardable")
        if not start <= entry < start + size:
            where = section_at(sections, entry) or "no section"
            failures.append(
                f"entry point 0x{entry:X} lies in {where}, not in INIT "
                f"(0x{start:X}-0x{start + size:X})"
            )


def section_at(sections, rva):
    for name, (_, start, size, _) in sections.items():
        if start <= rva < start + size:
            return name
    return None


# ---------------------------------------------------------------------------
# Imports


def parse_imports(text):
    """(module, routine) pairs, delay-loaded ones marked by a third element."""
    imports = []
    for kind in ("Import", "DelayImport"):
        for body in blocks(text, kind):
            module = field(body, "Name") or "?"
            for match in re.finditer(r"^\s*Symbol: (.*?) \(\d+\)\s*$", body, re.MULTILINE):
                imports.append((module, match.group(1) or "(by ordinal)", kind == "DelayImport"))
    return imports


def check_imports(imports, failures):
    for module, routine, delayed in imports:
        if delayed:
            failures.append(f"delay-loaded import {module}!{routine}: the kernel loads none")
        elif module.lower() not in ALLOWED_MODULES:
            failures.append(
                f"import from a module other than ntoskrnl.exe and HAL.dll: {module}!{routine}"
            )
        if routine in FORBIDDEN_IMPORTS:
            failures.append(f"forbidden import: {module}!{routine}")


# ---------------------------------------------------------------------------
# Indirection of data imports

INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+(\S+)\s*(.*?)\s*(?:#.*)?$")
REGISTER_WORDS = {
    "rax": "eax", "rbx": "ebx", "rcx": "ecx", "rdx": "edx", "rsi": "esi", "rdi": "edi",
    "rbp": "ebp", **{f"r{n}": f"r{n}d" for n in range(8, 16)},
}


def mentions(operands, register):
    names = (register, REGISTER_WORDS.get(register, register))
    return any(re.search(r"%" + name + r"\b", operands) for name in names)


def plain_load(mnemonic, operands, register):
    """The destination of `mov (%register), %destination`, or None."""
    match = re.fullmatch(r"\(%" + register + r"\),\s*%(\w+)", operands)
    return match.group(1) if mnemonic.startswith("mov") and match else None


def next_use(lines, start, register):
    """(index, mnemonic, operands) of the first instruction after `start` that
    names the register, within the routine and a few instructions; or None."""
    for index in range(start + 1, min(start + 12, len(lines))):
        if re.match(r"^[0-9a-f]+ <", lines[index]):
            return None
        match = INSTRUCTION.match(lines[index])
        if match and mentions(match.group(2), register):
            return index, match.group(1), match.group(2)
    return None


def indirection_fault(lines, index, operands):
    """What is wrong with the use of a value loaded from a data import's slot
    at `index`, or None: the slot's value must be loaded from exactly once."""
    loaded = re.search(r",\s*%(\w+)$", operands)
    if loaded is None:
        return None
    use = next_use(lines, index, loaded.group(1))
    value = plain_load(use[1], use[2], loaded.group(1)) if use else None
    if value is None:
        return "uses the address of the variable, not its value"
    further = next_use(lines, use[0], value)
    if further and plain_load(further[1], further[2], value) is not None:
        return "reads one level too far (three loads)"
    return None


def import_slots(image, imports_text):
    """Virtual address of each imported routine's slot -> its name. The
    disassembler labels a slot by any symbol at its address, so slots are
    found by address."""
    base = int(field(readobj(image, "--file-headers"), "ImageBase") or "0", 16)
    slots = {}
    for body in blocks(imports_text, "Import"):
        table = int(field(body, "ImportAddressTableRVA") or "0", 16)
        names = re.findall(r"^\s*Symbol: (.*?) \(\d+\)\s*$", body, re.MULTILINE)
        for number, name in enumerate(names):
            slots[base + table + 8 * number] = name
    return slots


def check_data_imports(image, imports_text, lines, failures):
    slots = import_slots(image, imports_text)
    routine = "?"
    found = set()
    for index, line in enumerate(lines):
        label = re.match(r"^[0-9a-f]+ <(.*)>:$", line)
        if label:
            routine = label.group(1)
            continue
        target = re.search(r"\(%rip\).*#\s*0x([0-9a-f]+)", line)
        match = INSTRUCTION.match(line)
        name = slots.get(int(target.group(1), 16)) if target else None
        if name in DATA_IMPORTS and match and match.group(1).startswith("mov"):
            fault = indirection_fault(lines, index, match.group(2))
            if fault:
                found.add((routine, name, fault))
    if found:
        ordered = sorted(found)
        names = run_tool("llvm-cxxfilt", stdin="\n".join(r for r, _, _ in ordered) + "\n")
        for (_, name, fault), readable in zip(ordered, names.splitlines()):
            failures.append(f"routine {readable} {fault} of data import {name}")


# ---------------------------------------------------------------------------
# Version resource


# Resource types the platform looks up by number.
RT_MESSAGETABLE = 11
RT_VERSION = 16


def resource_bytes(text, type_id):
    """The raw bytes of the first resource of the numeric type `type_id` in
    llvm-readobj's dump, or None. A type named by a string (such as
    "MESSAGETABLE", where a resource compiler did not know the keyword) is
    another type, which the platform's lookup by number does not find."""
    match = re.search(r"^\s*Type: (?:\S+ )?\(ID " + str(type_id) + r"\) \[$", text, re.MULTILINE)
    if match is None:
        return None
    lines = text[match.start() :].splitlines()
    data = bytearray()
    inside = False
    for line in lines:
        stripped = line.strip()
        if not inside:
            inside = stripped == "Data ("
            continue
        if stripped == ")":
            return bytes(data)
        hex_part = line.split("|", 1)[0].split(":", 1)[1]
        data += bytes.fromhex("".join(hex_part.split()))
    return None


def named_type(text, name):
    """Whether the resources hold a type named by the string `name`."""
    return re.search(r"^\s*Type: " + re.escape(name) + r" \[$", text, re.MULTILINE) is not None


def align4(offset):
    return (offset + 3) & ~3


def parse_version_block(data, offset):
    """One VS_VERSIONINFO-style node: (key, value bytes, children, end offset)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    key_end = offset + 6
    while data[key_end : key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6 : key_end].decode("utf-16-le")
    position = align4(key_end + 2)
    children = []
    if value_type == 1 and value_length:
        # Text: the rest of the node, whatever unit wValueLength was counted in.
        value = data[position:end]
        position = end
    else:
        value = data[position : position + value_length]
        position = align4(position + value_length)
    while position < end:
        child = parse_version_block(data, position)
        children.append(child)
        position = align4(child[3])
    return key, value, children, end


def decode_text(value):
    return value.decode("utf-16-le").split("\0", 1)[0]


def dotted(most, least):
    return f"{most >> 16}.{most & 0xFFFF}.{least >> 16}.{least & 0xFFFF}"


def check_fixed_info(value, failures):
    if len(value) < 52 or struct.unpack_from("<I", value, 0)[0] != VS_FIXEDFILEINFO_SIGNATURE:
        failures.append("version resource has no fixed file information")
        return
    words = struct.unpack_from("<13I", value, 0)
    expected = dotted(
        (FIXED_VERSION[0] << 16) | FIXED_VERSION[1], (FIXED_VERSION[2] << 16) | FIXED_VERSION[3]
    )
    file_version = dotted(words[2], words[3])
    product_version = dotted(words[4], words[5])
    if file_version != expected:
        failures.append(f"fixed file version is {file_version}, expected {expected}")
    if product_version != expected:
        failures.append(f"fixed product version is {product_version}, expected {expected}")
    for label, actual, wanted, name in (
        ("file OS", words[8], VOS_NT_WINDOWS32, "VOS_NT_WINDOWS32"),
        ("file type", words[9], VFT_DRV, "VFT_DRV"),
        ("file subtype", words[10], VFT2_DRV_SYSTEM, "VFT2_DRV_SYSTEM"),
    ):
        if actual != wanted:
            failures.append(f"{label} is 0x{actual:X}, expected {name} (0x{wanted:X})")


def check_version(text, failures):
    """Checks the version resource; returns its FileVersion string, if any."""
    data = resource_bytes(text, RT_VERSION)
    if data is None:
        failures.append("no version resource")
        return None
    key, value, children, _ = parse_version_block(data, 0)
    if key != "VS_VERSION_INFO":
        failures.append(f"version resource starts with {key!r}, expected 'VS_VERSION_INFO'")
        return None
    check_fixed_info(value, failures)
    strings = None
    translation = None
    for child_key, _, child_children, _ in children:
        if child_key == "StringFileInfo":
            for table_key, _, entries, _ in child_children:
                if table_key.lower() == VERSION_STRING_TABLE and strings is None:
                    strings = {k: decode_text(v) for k, v, _, _ in entries}
        elif child_key == "VarFileInfo":
            for var_key, var_value, _, _ in child_children:
                if var_key == "Translation" and len(var_value) >= 4:
                    translation = struct.unpack_from("<HH", var_value, 0)
    if strings is None:
        failures.append(f"no version string table {VERSION_STRING_TABLE}")
        strings = {}
    for name, wanted in VERSION_STRINGS.items():
        if name not in strings:
            failures.append(f"version string {name} is missing")
        elif strings[name] != wanted:
            failures.append(f'version string {name} is "{strings[name]}", expected "{wanted}"')
    if translation != VERSION_TRANSLATION:
        shown = "missing" if translation is None else f"0x{translation[0]:04X}, {translation[1]}"
        failures.append(f"version translation is {shown}, expected 0x0409, 1200")
    return strings.get("FileVersion")


# ---------------------------------------------------------------------------
# Message table

MESSAGE_RESOURCE_UNICODE = 0x0001


def message_table(data):
    """Message identifier -> text of a message table resource."""
    messages = {}
    (count,) = struct.unpack_from("<I", data, 0)
    for block in range(count):
        low, high, offset = struct.unpack_from("<III", data, 4 + 12 * block)
        for identifier in range(low, high + 1):
            length, flags = struct.unpack_from("<HH", data, offset)
            if length < 4:
                raise ValueError(f"message 0x{identifier:08X} has length {length}")
            text = data[offset + 4 : offset + length]
            encoding = "utf-16-le" if flags & MESSAGE_RESOURCE_UNICODE else "latin-1"
            messages[identifier] = text.decode(encoding).split("\0", 1)[0]
            offset += length
    return messages


def shown_text(message):
    """What the event viewer shows of a message: its text up to "%0", which
    ends it, without the line end that the message compiler adds."""
    return message.split("%0", 1)[0].rstrip("\r\n")


def check_messages(text, failures):
    data = resource_bytes(text, RT_MESSAGETABLE)
    if data is None and named_type(text, "MESSAGETABLE"):
        failures.append(
            'the message table is stored under the type named "MESSAGETABLE", not the '
            "numeric type 11 (RT_MESSAGETABLE): the event log finds no table"
        )
        return
    if data is None:
        failures.append("no message table: the event log cannot show the driver's entries")
        return
    messages = message_table(data)
    if EVENT_CODE not in messages:
        failures.append(f"message table has no message 0x{EVENT_CODE:08X}")
        return
    shown = shown_text(messages[EVENT_CODE])
    if shown != EVENT_TEXT:
        failures.append(
            f'message 0x{EVENT_CODE:08X} reads "{shown}", expected "{EVENT_TEXT}" '
            "(the entry's insertion string)"
        )


# ---------------------------------------------------------------------------
# Checksum


def check_checksum(image, failures):
    with open(image, "rb") as stream:
        data = stream.read()
    stored = pe_checksum.stored_checksum(data)
    computed = pe_checksum.compute_checksum(data)
    if stored == 0:
        failures.append(f"no checksum (0), expected 0x{computed:08X}: the kernel refuses the image")
    elif stored != computed:
        failures.append(f"checksum is 0x{stored:08X}, expected 0x{computed:08X}")


# ---------------------------------------------------------------------------
# Placement of named routines


def routine_sections(image, pdb):
    """Plain routine name -> set of names of the sections defining it, from
    the PDB's public symbols and procedure records."""
    names = section_numbers(image)
    return {
        routine: {names.get(section, f"#{section}") for section, _, _ in places}
        for routine, places in pdb_routines(pdb).items()
    }


def check_not_paged(image, pdb, routines, failures):
    if not routines:
        return
    placement = routine_sections(image, pdb) if pdb else None
    for routine in routines:
        if placement is None:
            failures.append(f"routine {routine}: the image has no PDB to place it by")
        elif routine not in placement:
            failures.append(f"routine {routine} is not in the image's PDB")
        else:
            for section in sorted(placement[routine]):
                if section.upper().startswith("PAGE"):
                    failures.append(f"routine {routine} lies in pageable section {section}")


# ---------------------------------------------------------------------------


def check_image(image, not_paged, lines):
    failures = []
    headers = readobj(image, "--file-headers")
    if "ImageOptionalHeader {" not in headers:
        raise ToolError(f"not a PE image ({field(headers, 'Format')})")
    check_headers(headers, failures)
    sections = parse_sections(readobj(image, "--sections"))
    entry = int(field(headers, "AddressOfEntryPoint") or "0", 16)
    check_sections(sections, entry, failures)
    pdb = check_symbols(image, lines, failures)
    disassembly = disassemble(image, routine_starts(image, pdb, sections))
    check_unwind(image, disassembly, sections, failures)
    imports_text = readobj(image, "--coff-imports")
    imports = parse_imports(imports_text)
    check_imports(imports, failures)
    check_data_imports(image, imports_text, disassembly, failures)
    resources = readobj(image, "--coff-resources")
    version = check_version(resources, failures)
    check_messages(resources, failures)
    check_checksum(image, failures)
    check_not_paged(image, pdb, not_paged, failures)
    return failures, imports, version


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("image", help="the driver image, e.g. dist/VKTDrv.sys")
    parser.add_argument(
        "--not-paged",
        action="append",
        default=[],
        metavar="ROUTINE",
        help="fail unless ROUTINE is in the image and outside PAGE (repeatable)",
    )
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
    try:
        failures, imports, version = check_image(args.image, args.not_paged, args.lines)
    except (
        ToolError,
        pe_checksum.ImageError,
        ValueError,
        struct.error,
        AttributeError,
        IndexError,
    ) as error:
        print(f"FAIL: {args.image}: cannot read the image: {error}")
        return 2
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        print(f"{args.image}: {len(failures)} problem(s)")
        return 1
    modules = sorted({module for module, _, _ in imports})
    print(
        f"OK: {args.image}: x64 PE32+, native, entry in INIT, PAGE and INIT code sections, "
        f"{len(imports)} imports from {', '.join(modules)}, version {version}, "
        f"message 0x{EVENT_CODE:08X}, checksum correct, its PDB beside it"
        + (f", not paged: {', '.join(args.not_paged)}" if args.not_paged else "")
        + (f", lines for: {', '.join(args.lines)}" if args.lines else "")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
