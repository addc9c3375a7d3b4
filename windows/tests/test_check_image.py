"""The image check against images with known faults.

Each faulty image is the small test driver built by the driver's own recipe
with one fault put in (see CMakeLists.txt beside this file). A case passes
when the check rejects the image with exactly the lines that name its fault,
and accepts the sound images: a check that also reported something else
would be reporting a fault that is not there.

VKT_TEST_IMAGES names the folder of the built images.
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "..", "check_image.py")
IMAGES = os.environ.get("VKT_TEST_IMAGES", "")

sys.path.insert(0, os.path.join(HERE, ".."))
import pe_checksum  # noqa: E402


def image_path(name):
    return name if os.path.isabs(name) else os.path.join(IMAGES, name + ".sys")


def check(name, *options):
    """Runs the check on one test image, named or given by its absolute path:
    (exit status, its FAIL lines, all output)."""
    image = image_path(name)
    result = subprocess.run(
        [sys.executable, CHECK, image, *options], capture_output=True, text=True, check=False
    )
    failures = [
        line[len("FAIL: ") :] for line in result.stdout.splitlines() if line.startswith("FAIL: ")
    ]
    return result.returncode, failures, result.stdout + result.stderr


class ImageCheckCase(unittest.TestCase):
    def assertAccepted(self, name, *options):
        status, failures, output = check(name, *options)
        self.assertEqual((status, failures), (0, []), output)

    def assertRejected(self, name, expected, *options):
        status, failures, output = check(name, *options)
        self.assertEqual(status, 1, output)
        self.assertEqual(failures, expected, output)


class Imports(ImageCheckCase):
    def test_kernel_and_hardware_layer_imports_are_accepted(self):
        self.assertAccepted("sound")
        self.assertAccepted("hal_import")

    def test_user_mode_module_is_rejected(self):
        self.assertRejected(
            "foreign_import",
            ["import from a module other than ntoskrnl.exe and HAL.dll: KERNEL32.dll!GetTickCount"],
        )

    def test_each_forbidden_routine_is_named(self):
        self.assertRejected(
            "forbidden_imports",
            [
                "forbidden import: ntoskrnl.exe!ZwQuerySystemInformation",
                "forbidden import: ntoskrnl.exe!IoCreateDeviceSecure",
                "forbidden import: "
                "ntoskrnl.exe!SeConvertStringSecurityDescriptorToSecurityDescriptor",
            ],
        )


    def test_data_import_read_one_level_too_far_is_rejected(self):
        self.assertRejected(
            "data_indirection",
            [
                "routine DeviceObjectType reads one level too far (three loads) "
                "of data import IoDeviceObjectType"
            ],
        )


class Headers(ImageCheckCase):
    def test_gui_subsystem_is_rejected(self):
        self.assertRejected(
            "gui_subsystem",
            ["subsystem is IMAGE_SUBSYSTEM_WINDOWS_GUI (0x2), expected IMAGE_SUBSYSTEM_NATIVE"],
        )

    def test_x86_image_is_rejected_for_machine_and_format(self):
        status, failures, output = check("x86_machine")
        self.assertEqual(status, 1, output)
        self.assertIn(
            "machine is IMAGE_FILE_MACHINE_I386 (0x14C), expected IMAGE_FILE_MACHINE_AMD64 (x64)",
            failures,
        )
        self.assertIn("optional header magic is 0x10B, expected 0x20B (PE32+)", failures)

    def test_routine_without_unwind_data_is_rejected(self):
        # The guarded routine keeps its unwind data even so; the entry loses it.
        self.assertRejected(
            "no_unwind_data", ["routine DriverEntry has a stack frame but no unwind data (.pdata)"]
        )

    def test_file_that_is_not_an_image_cannot_be_read(self):
        status, failures, output = check("missing_image")
        self.assertEqual(status, 2, output)
        self.assertEqual(len(failures), 1, output)


class Sections(ImageCheckCase):
    def test_missing_init_is_rejected(self):
        self.assertRejected("no_init", ["no INIT section"])

    def test_missing_page_is_rejected(self):
        self.assertRejected("no_paged_code", ["no PAGE section"])

    def test_entry_outside_init_is_rejected(self):
        status, failures, output = check("resident_entry")
        self.assertEqual(status, 1, output)
        self.assertEqual(len(failures), 1, output)
        self.assertRegex(
            failures[0], r"^entry point 0x[0-9A-F]+ lies in \.text, not in INIT \(0x[0-9A-F]+-"
        )


class Version(ImageCheckCase):
    def test_differing_string_is_rejected(self):
        self.assertRejected(
            "wrong_description",
            ['version string FileDescription is "VKT Device Driver", expected "VKTDevice Driver"'],
        )

    def test_missing_string_is_rejected(self):
        self.assertRejected("missing_internal_name", ["version string InternalName is missing"])

    def test_differing_fixed_version_is_rejected(self):
        self.assertRejected(
            "wrong_file_version", ["fixed file version is 1.0.3.9, expected 1.0.3.10"]
        )

    def test_wrong_file_type_is_rejected(self):
        self.assertRejected("wrong_file_type", ["file type is 0x1, expected VFT_DRV (0x3)"])

    def test_missing_resource_is_rejected(self):
        self.assertRejected("no_version_resource", ["no version resource"])


class Messages(ImageCheckCase):
    def test_missing_message_table_is_rejected(self):
        self.assertRejected(
            "no_message_table",
            ["no message table: the event log cannot show the driver's entries"],
        )

    def test_table_without_the_entries_code_is_rejected(self):
        self.assertRejected("other_code_message", ["message table has no message 0x40060001"])

    def test_table_under_a_type_named_by_a_string_is_rejected(self):
        self.assertRejected(
            "string_type_message_table",
            [
                'the message table is stored under the type named "MESSAGETABLE", not the '
                "numeric type 11 (RT_MESSAGETABLE): the event log finds no table"
            ],
        )

    def test_message_not_showing_the_insertion_string_is_rejected(self):
        self.assertRejected(
            "driver_name_message",
            ['message 0x40060001 reads "%1", expected "%2" (the entry\'s insertion string)'],
        )


def copy_image(folder, name, pdb=None):
    """A copy of a test image in `folder`, with the PDB of the image `pdb`
    beside it under the copy's own PDB name (none when `pdb` is None)."""
    copy = os.path.join(folder, name + ".sys")
    shutil.copyfile(image_path(name), copy)
    if pdb is not None:
        shutil.copyfile(os.path.join(IMAGES, pdb + ".pdb"), os.path.join(folder, name + ".pdb"))
    return copy


def osslsigncode_checksum(path):
    """The checksum of the image as osslsigncode computes it: a second,
    independent reckoning of the same sum."""
    result = subprocess.run(
        ["osslsigncode", "verify", path], capture_output=True, text=True, check=False
    )
    output = result.stdout + result.stderr
    match = re.search(r"Calculated PE checksum: *([0-9A-Fa-f]{8})", output) or re.search(
        r"PE checksum *: *([0-9A-Fa-f]{8})", output
    )
    if not match:
        raise AssertionError(f"osslsigncode shows no checksum:\n{output}")
    return int(match.group(1), 16)


class Checksum(ImageCheckCase):
    def test_image_without_checksum_is_rejected(self):
        status, failures, output = check("no_checksum")
        self.assertEqual(status, 1, output)
        self.assertEqual(len(failures), 1, output)
        self.assertRegex(
            failures[0],
            r"^no checksum \(0\), expected 0x[0-9A-F]{8}: the kernel refuses the image$",
        )

    def test_wrong_checksum_is_rejected(self):
        with tempfile.TemporaryDirectory() as folder:
            faulty = copy_image(folder, "sound", pdb="sound")
            with open(faulty, "r+b") as image:
                data = image.read()
                right = pe_checksum.compute_checksum(data)
                image.seek(pe_checksum.checksum_offset(data))
                image.write(struct.pack("<I", right ^ 0x100))
            self.assertRejected(
                faulty, [f"checksum is 0x{right ^ 0x100:08X}, expected 0x{right:08X}"]
            )

    def test_checksum_agrees_with_osslsigncode(self):
        # A sum written by the build and the sum of an image without one.
        for name in ("sound", "hal_import", "no_checksum"):
            with open(image_path(name), "rb") as image:
                data = image.read()
            self.assertEqual(
                pe_checksum.compute_checksum(data), osslsigncode_checksum(image_path(name)), name
            )


class Placement(ImageCheckCase):
    def test_resident_static_routine_is_accepted(self):
        self.assertAccepted("sound", "--not-paged", "TimerRoutine")

    def test_pageable_routine_is_rejected(self):
        self.assertRejected(
            "sound",
            ["routine UnloadTestDriver lies in pageable section PAGE"],
            "--not-paged",
            "TimerRoutine",
            "--not-paged",
            "UnloadTestDriver",
        )

    def test_absent_routine_is_rejected(self):
        self.assertRejected(
            "sound",
            ["routine SupervisionDpc is not in the image's PDB"],
            "--not-paged",
            "SupervisionDpc",
        )




class Symbols(ImageCheckCase):
    def test_routines_with_lines_and_static_routines_are_found_in_the_pdb(self):
        self.assertAccepted(
            "sound", "--lines", "DriverEntry", "--lines", "ReadUserValue",
            "--not-paged", "TimerRoutine",
        )

    def test_symbols_in_the_image_instead_of_a_pdb_are_rejected(self):
        status, failures, output = check("symbols_in_image", "--not-paged", "TimerRoutine")
        self.assertEqual(status, 1, output)
        self.assertEqual(len(failures), 3, output)
        self.assertRegex(
            failures[0],
            r"^the image carries a COFF symbol table \([1-9]\d* entries\): "
            r"its symbols belong in the PDB$",
        )
        self.assertEqual(
            failures[1:],
            [
                "the debug record names no PDB",
                "routine TimerRoutine: the image has no PDB to place it by",
            ],
            output,
        )

    def test_pdb_named_with_a_build_folder_is_rejected(self):
        self.assertRejected(
            "pdb_path_named",
            [
                'the debug record names the PDB "obj/pdb_path_named.pdb", expected the file '
                "name alone (no build folder)"
            ],
        )

    def test_pdb_without_procedures_gives_no_lines_and_no_static_routine(self):
        self.assertRejected(
            "no_debug_info",
            [
                "routine DriverEntry has no procedure symbol in the PDB",
                "routine TimerRoutine is not in the image's PDB",
            ],
            "--lines",
            "DriverEntry",
            "--not-paged",
            "TimerRoutine",
        )

    def test_missing_or_foreign_pdb_is_rejected(self):
        with tempfile.TemporaryDirectory() as folder:
            alone = copy_image(folder, "sound")
            self.assertRejected(
                alone,
                [
                    "no sound.pdb beside the image",
                    "routine TimerRoutine: the image has no PDB to place it by",
                ],
                "--not-paged",
                "TimerRoutine",
            )
            # Another image's PDB under the right name: a debugger refuses it.
            status, failures, output = check(copy_image(folder, "sound", pdb="hal_import"))
            self.assertEqual(status, 1, output)
            self.assertEqual(len(failures), 1, output)
            self.assertRegex(
                failures[0],
                r"^sound\.pdb is not the image's \(GUID \{[0-9A-F-]{36}\}, age 1; "
                r"the image expects \{[0-9A-F-]{36}\}, age 1\)$",
            )


if __name__ == "__main__":
    unittest.main()
