#!/usr/bin/env python3
"""Checks the driver's INF for the rules of a driver package that installs
from and runs in the driver store:

- every section the INF refers to is there (models, install, services,
  service-install, event-log, CopyFiles and AddReg sections), every file it
  copies is a source file on a named disk, and every %string% is defined;
- DriverVer's version is the image's file version;
- files go to the driver store only (DIRID 13), and the service binary and
  the event-log message file name the driver there;
- every models section is decorated for x64 and Windows 10 version 1709
  (build 16299) or later;
- PnpLockdown = 1, so that nothing but the installer changes the files;
- every install section has a hardware section whose AddReg sections give
  the whole device stack the driver's security and the secure-open
  characteristic, once each:

      HKR,,Security,,"D:P(A;;GA;;;SY)(A;;GA;;;BA)"
      HKR,,DeviceCharacteristics,0x10001,0x100

  Without them the device objects below the driver's (the ACPI device,
  which any program can name) keep the platform's default descriptor, and
  an open by their name reaches the driver's device.

Every fault found is printed as one line starting with "FAIL:"; the
exit status is 1 when there is any, 2 when the INF or image cannot be read.

    check_inf.py INF --image IMAGE
"""

import argparse
import re
import struct
import sys

from check_image import check_version, readobj
from check_symbols import ToolError

DRIVER_STORE = "13"
# The oldest build the package supports: running from the driver store needs
# Windows 10 version 1709.
MINIMUM_BUILD = 16299
# What the hardware section sets on every device of the stack.
STACK_SECURITY = "D:P(A;;GA;;;SY)(A;;GA;;;BA)"
FILE_DEVICE_SECURE_OPEN = 0x100
FLG_ADDREG_TYPE_DWORD = 0x10001
# Directives whose values name sections.
SECTION_DIRECTIVES = ("CopyFiles", "AddReg", "DelReg", "DelFiles", "RenFiles")


def logical_lines(text):
    """The INF's lines without comments, joined across continuations."""
    lines = []
    pending = ""
    for raw in text.splitlines():
        line = strip_comment(raw).rstrip()
        if line.endswith("\\"):
            pending += line[:-1]
            continue
        lines.append(pending + line)
        pending = ""
    if pending:
        lines.append(pending)
    return lines


def strip_comment(line):
    """The line up to a ';' outside double quotes."""
    quoted = False
    for index, character in enumerate(line):
        if character == '"':
            quoted = not quoted
        elif character == ";" and not quoted:
            return line[:index]
    return line


def parse(text):
    """Section name (lower case) -> (name as written, [(key or None, value)])."""
    sections = {}
    current = None
    for line in logical_lines(text):
        stripped = line.strip()
        if not stripped:
            continue
        header = re.fullmatch(r"\[(.+)\]", stripped)
        if header:
            name = header.group(1).strip()
            current = sections.setdefault(name.lower(), (name, []))[1]
            continue
        if current is None:
            continue
        key, equals, value = stripped.partition("=")
        current.append((key.strip(), value.strip()) if equals else (None, stripped))
    return sections


def entries(sections, name):
    return sections.get(name.lower(), (name, []))[1]


def value_of(sections, section, key):
    for entry_key, value in entries(sections, section):
        if entry_key is not None and entry_key.lower() == key.lower():
            return value
    return None


def fields(value):
    """The comma-separated fields of a value, unquoted."""
    return [field.strip().strip('"') for field in value.split(",")]


def expand(value, strings):
    """The value with %key% replaced from [Strings] (%% stays a percent)."""
    return re.sub(
        r"%([^%]*)%",
        lambda m: "%" if not m.group(1) else strings.get(m.group(1).lower(), m.group(0)),
        value,
    )


# ---------------------------------------------------------------------------
# The rules


def check_version_section(sections, image_version, failures):
    for key, wanted in (("Signature", "$WINDOWS NT$"), ("PnpLockdown", "1")):
        value = value_of(sections, "Version", key)
        if value is None:
            failures.append(f"[Version] has no {key}")
        elif value.strip('"').lower() != wanted.lower():
            failures.append(f'[Version] {key} is {value}, expected "{wanted}"')
    for key in ("Class", "ClassGuid", "Provider", "CatalogFile"):
        if value_of(sections, "Version", key) is None:
            failures.append(f"[Version] has no {key}")
    driver_ver = value_of(sections, "Version", "DriverVer")
    if driver_ver is None:
        failures.append("[Version] has no DriverVer")
        return
    parts = fields(driver_ver)
    version = parts[1] if len(parts) > 1 else ""
    if not re.fullmatch(r"\d{1,2}/\d{1,2}/\d{4}", parts[0]):
        failures.append(f"DriverVer's date {parts[0]!r} is not MM/DD/YYYY")
    if version != image_version:
        failures.append(
            f"DriverVer's version is {version!r}, the image's file version {image_version}"
        )


def model_sections(sections, failures):
    """The models sections the [Manufacturer] entries name, each checked for
    its decoration."""
    found = []
    manufacturer = entries(sections, "Manufacturer")
    if not manufacturer:
        failures.append("no [Manufacturer] section")
    for _, value in manufacturer:
        base, *decorations = fields(value)
        if not decorations:
            failures.append(
                f"models section {base} is not decorated: expected NTamd64.10.0...{MINIMUM_BUILD}"
            )
            found.append(base)
        for decoration in decorations:
            match = re.fullmatch(r"NTamd64\.(\d+)\.(\d+)\.\.\.(\d+)", decoration, re.IGNORECASE)
            if not match or (int(match.group(1)), int(match.group(3))) < (10, MINIMUM_BUILD):
                failures.append(
                    f"models section {base}.{decoration} is not for x64 Windows 10 build "
                    f"{MINIMUM_BUILD} or later (NTamd64.10.0...{MINIMUM_BUILD})"
                )
            found.append(f"{base}.{decoration}")
    return found


def install_section(sections, name):
    """The section the installer uses for a model's install section: the
    .NTamd64 or .NT decorated one, or the plain one."""
    for candidate in (name + ".NTamd64", name + ".NT", name):
        if candidate.lower() in sections:
            return candidate
    return None


def require(sections, name, referrer, failures):
    if name.lower() not in sections:
        failures.append(f"[{name}], named by [{referrer}], is missing")
        return False
    return True


def check_referenced(sections, section, failures, seen):
    """The sections that `section` names through its directives are there,
    and so, in turn, are theirs."""
    if section.lower() in seen:
        return
    seen.add(section.lower())
    for key, value in entries(sections, section):
        if key is None or key.lower() not in {d.lower() for d in SECTION_DIRECTIVES}:
            continue
        for name in fields(value):
            if name and not name.startswith("@") and require(sections, name, section, failures):
                check_referenced(sections, name, failures, seen)


def check_installs(sections, models, failures):
    """Each model's install section, its services section, the service's and
    the event log's sections; returns the service-install sections."""
    services = []
    seen = set()
    for models_section in models:
        if not require(sections, models_section, "Manufacturer", failures):
            continue
        for _, value in entries(sections, models_section):
            name = fields(value)[0]
            install = install_section(sections, name)
            if install is None:
                failures.append(f"install section {name}, named by [{models_section}], is missing")
                continue
            check_referenced(sections, install, failures, seen)
            check_hardware(sections, install, failures, seen)
            if not require(sections, install + ".Services", models_section, failures):
                continue
            for key, service in entries(sections, install + ".Services"):
                if key is None or key.lower() != "addservice":
                    continue
                parts = fields(service)
                for index in (2, 3):
                    if len(parts) > index and parts[index]:
                        if require(sections, parts[index], install + ".Services", failures):
                            check_referenced(sections, parts[index], failures, seen)
                if len(parts) > 2 and parts[2]:
                    services.append(parts[2])
    return services


def check_hardware(sections, install, failures, seen):
    """The install's hardware section secures the whole stack: one Security
    value of the driver's descriptor and one DeviceCharacteristics DWORD with
    the secure-open bit, in the AddReg sections it names."""
    hardware = install + ".HW"
    if hardware.lower() not in sections:
        failures.append(f"[{install}] has no hardware section [{hardware}]")
        return
    check_referenced(sections, hardware, failures, seen)
    security, characteristics = [], []
    for key, value in entries(sections, hardware):
        if key is None or key.lower() != "addreg":
            continue
        for name in fields(value):
            for _, line in entries(sections, name):
                parts = fields(line)
                if len(parts) != 5 or parts[0].lower() != "hkr" or parts[1]:
                    continue
                if parts[2].lower() == "security":
                    security.append((parts[3], parts[4]))
                elif parts[2].lower() == "devicecharacteristics":
                    characteristics.append((parts[3], parts[4]))
    if security != [("", STACK_SECURITY)]:
        failures.append(f'[{hardware}] must set Security to "{STACK_SECURITY}" once, as REG_SZ')
    try:
        secure = (
            len(characteristics) == 1
            and int(characteristics[0][0], 0) == FLG_ADDREG_TYPE_DWORD
            and int(characteristics[0][1], 0) & FILE_DEVICE_SECURE_OPEN
        )
    except ValueError:
        secure = False
    if not secure:
        failures.append(
            f"[{hardware}] must set DeviceCharacteristics with FILE_DEVICE_SECURE_OPEN "
            f"(0x100) once, as a REG_DWORD (0x10001)"
        )


def check_files(sections, failures):
    """Copied files are source files on named disks, and go to the driver
    store only."""
    disks = {key for key, _ in entries(sections, "SourceDisksNames") if key}
    sources = set()
    for key, value in entries(sections, "SourceDisksFiles"):
        if key:
            sources.add(key.lower())
            disk = fields(value)[0]
            if disk not in disks:
                failures.append(
                    f"source file {key} lies on disk {disk}, which [SourceDisksNames] does not name"
                )
    for _, lines in sections.values():
        for key, value in lines:
            if key is None or key.lower() != "copyfiles":
                continue
            for listed in fields(value):
                if listed and not listed.startswith("@") and listed.lower() in sections:
                    for _, file_line in entries(sections, listed):
                        copied = fields(file_line)[0]
                        if copied.lower() not in sources:
                            failures.append(f"{copied}, copied by [{listed}], is no source file")
    destinations = entries(sections, "DestinationDirs")
    if not destinations:
        failures.append("no [DestinationDirs] section")
    for key, value in destinations:
        if fields(value)[0] != DRIVER_STORE:
            failures.append(
                f"[DestinationDirs] {key} = {value}: files must go to the driver store "
                f"(DIRID {DRIVER_STORE}), not a system directory"
            )


def check_service_paths(sections, services, image_name, failures):
    """The service binary and the event log's message file name the image in
    the driver store."""
    wanted = f"%{DRIVER_STORE}%\\{image_name}".lower()
    for service in services:
        binary = value_of(sections, service, "ServiceBinary")
        if binary is None:
            failures.append(f"[{service}] has no ServiceBinary")
        elif binary.lower() != wanted:
            failures.append(
                f"[{service}] ServiceBinary is {binary}, expected %{DRIVER_STORE}%\\{image_name}"
            )
    for written, lines in sections.values():
        for key, value in lines:
            parts = fields(value) if key is None else []
            if len(parts) >= 5 and parts[2].lower() == "eventmessagefile":
                files = [f.strip() for f in ",".join(parts[4:]).split(";")]
                ours = [f for f in files if f.lower().endswith("\\" + image_name.lower())]
                if not ours or any(f.lower() != wanted for f in ours):
                    failures.append(
                        f"[{written}] EventMessageFile names {'; '.join(files)}: the driver's "
                        f"message table is to be named %{DRIVER_STORE}%\\{image_name}"
                    )


def check_strings(text, sections, failures):
    """Every %key% the INF uses is defined in [Strings] or is a directory ID."""
    defined = {key.lower() for key, _ in entries(sections, "Strings") if key}
    for line in logical_lines(text):
        for key in re.findall(r"%([^%]+)%", line.replace("%%", "")):
            if not key.isdigit() and key.lower() not in defined:
                failures.append(f"%{key}% is not defined in [Strings]")


def driver_file(sections):
    """The driver image the INF installs: its one .sys source file."""
    files = [key for key, _ in entries(sections, "SourceDisksFiles") if key]
    images = [name for name in files if name.lower().endswith(".sys")]
    return images[0] if len(images) == 1 else None


def check_inf(text, image_version):
    failures = []
    sections = parse(text)
    if "version" not in sections:
        return ["no [Version] section"]
    image_name = driver_file(sections)
    if image_name is None:
        return ["[SourceDisksFiles] names no single driver image (.sys)"]
    check_version_section(sections, image_version, failures)
    models = model_sections(sections, failures)
    services = check_installs(sections, models, failures)
    check_files(sections, failures)
    check_service_paths(sections, services, image_name, failures)
    check_strings(text, sections, failures)
    return failures


def image_version(image):
    failures = []
    version = check_version(readobj(image, "--coff-resources"), failures)
    if version is None:
        raise ValueError(f"{image} has no file version ({'; '.join(failures)})")
    return version


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("inf", help="the INF, e.g. dist/VKTDrv.inf")
    parser.add_argument("--image", required=True, help="the driver image it installs")
    args = parser.parse_args(argv)
    try:
        with open(args.inf, encoding="utf-8-sig") as stream:
            text = stream.read()
        version = image_version(args.image)
    except (OSError, UnicodeDecodeError, ToolError, ValueError, struct.error) as error:
        print(f"FAIL: cannot read the INF or the image: {error}")
        return 2
    failures = check_inf(text, version)
    for failure in failures:
        print(f"FAIL: {failure}")
    if failures:
        print(f"{args.inf}: {len(failures)} problem(s)")
        return 1
    print(
        f"OK: {args.inf}: sections complete, DriverVer {version} as the image, driver store "
        f"only, models for NTamd64.10.0...{MINIMUM_BUILD}, PnpLockdown, the stack secured by the "
        f"hardware section"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
