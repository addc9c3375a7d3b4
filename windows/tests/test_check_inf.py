"""The INF check against the product's INF and faulty copies of it.

Each faulty INF is windows/VKTDrv.inf with one fault put in by replacing a
piece of its text. A case passes when the check rejects the INF with exactly
the lines that name its fault, and accepts the product's INF as it is. The
image whose version DriverVer must carry is the small test driver with the
product's version resource.

VKT_TEST_IMAGES names the folder of the built test images.
"""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "..", "check_inf.py")
PRODUCT_INF = os.path.join(HERE, "..", "VKTDrv.inf")
IMAGE = os.path.join(os.environ.get("VKT_TEST_IMAGES", ""), "sound.sys")


def product_inf():
    with open(PRODUCT_INF, encoding="utf-8-sig") as stream:
        return stream.read()


def check(text):
    """Runs the check on an INF of the given text: (exit status, its FAIL
    lines, all output)."""
    with tempfile.TemporaryDirectory() as folder:
        inf = os.path.join(folder, "VKTDrv.inf")
        with open(inf, "w", encoding="ascii") as stream:
            stream.write(text)
        result = subprocess.run(
            [sys.executable, CHECK, inf, "--image", IMAGE],
            capture_output=True,
            text=True,
            check=False,
        )
    failures = [
        line[len("FAIL: ") :] for line in result.stdout.splitlines() if line.startswith("FAIL: ")
    ]
    return result.returncode, failures, result.stdout + result.stderr


class InfRules(unittest.TestCase):
    def faulty(self, text, replacement):
        """The product's INF with `text` replaced; the text must be there."""
        original = product_inf()
        self.assertIn(text, original, "the INF changed: update this faulty INF")
        return original.replace(text, replacement)

    def assertRejected(self, text, replacement, expected):
        status, failures, output = check(self.faulty(text, replacement))
        self.assertEqual((status, failures), (1, expected), output)

    def test_product_inf_is_accepted(self):
        status, failures, output = check(product_inf())
        self.assertEqual((status, failures), (0, []), output)

    def test_hardware_section_that_leaves_the_stack_open_is_rejected(self):
        security = 'HKR,,Security,,"D:P(A;;GA;;;SY)(A;;GA;;;BA)"'
        characteristics = "HKR,,DeviceCharacteristics,0x10001,0x100"
        security_fault = (
            '[VKTDrv_Device.NT.HW] must set Security to "D:P(A;;GA;;;SY)(A;;GA;;;BA)" once, '
            "as REG_SZ"
        )
        characteristics_fault = (
            "[VKTDrv_Device.NT.HW] must set DeviceCharacteristics with FILE_DEVICE_SECURE_OPEN "
            "(0x100) once, as a REG_DWORD (0x10001)"
        )
        self.assertRejected(
            "[VKTDrv_Device.NT.HW]",
            "[Unused]",
            ["[VKTDrv_Device.NT] has no hardware section [VKTDrv_Device.NT.HW]"],
        )
        self.assertRejected(
            "[VKTDrv_Device_Security_AddReg]",
            "[Elsewhere]",
            [
                "[VKTDrv_Device_Security_AddReg], named by [VKTDrv_Device.NT.HW], is missing",
                security_fault,
                characteristics_fault,
            ],
        )
        self.assertRejected(security, security[:-2] + '(A;;GA;;;WD)"', [security_fault])
        self.assertRejected(security, "; " + security, [security_fault])
        self.assertRejected(security, security + "\n" + security, [security_fault])
        self.assertRejected(
            characteristics, characteristics[:-5] + "0x80", [characteristics_fault]
        )
        self.assertRejected(
            characteristics, "HKR,,DeviceCharacteristics,,0x100", [characteristics_fault]
        )

    def test_sections_named_but_missing_are_rejected(self):
        self.assertRejected(
            "[VKTDrv_Service_AddReg]",
            "[VKTDrv_Service_Settings]",
            ["[VKTDrv_Service_AddReg], named by [VKTDrv_Service], is missing"],
        )
        self.assertRejected(
            "[VKTDrv_Device.NT.Services]",
            "[VKTDrv_Device.Services]",
            ["[VKTDrv_Device.NT.Services], named by [VKT.NTamd64.10.0...16299], is missing"],
        )
        self.assertRejected(
            "VKTDrv.sys = 1,,",
            "VKTDrv.sys = 2,,",
            ["source file VKTDrv.sys lies on disk 2, which [SourceDisksNames] does not name"],
        )
        self.assertRejected(
            "ServiceName      =",
            "ServiceTitle     =",
            ["%ServiceName% is not defined in [Strings]"],
        )

    def test_driver_version_other_than_the_images_is_rejected(self):
        self.assertRejected(
            ",1.0.3.10",
            ",1.0.3.9",
            ["DriverVer's version is '1.0.3.9', the image's file version 1.0.3.10"],
        )

    def test_system_directory_destinations_are_rejected(self):
        self.assertRejected(
            "DefaultDestDir = 13",
            "DefaultDestDir = 12",
            [
                "[DestinationDirs] DefaultDestDir = 12: files must go to the driver store "
                "(DIRID 13), not a system directory"
            ],
        )
        self.assertRejected(
            "ServiceBinary = %13%\\VKTDrv.sys",
            "ServiceBinary = %12%\\VKTDrv.sys",
            ["[VKTDrv_Service] ServiceBinary is %12%\\VKTDrv.sys, expected %13%\\VKTDrv.sys"],
        )
        self.assertRejected(
            ";%13%\\VKTDrv.sys",
            ";%%SystemRoot%%\\System32\\drivers\\VKTDrv.sys",
            [
                "[VKTDrv_EventLog_AddReg] EventMessageFile names "
                "%%SystemRoot%%\\System32\\IoLogMsg.dll; "
                "%%SystemRoot%%\\System32\\drivers\\VKTDrv.sys: the driver's message table "
                "is to be named %13%\\VKTDrv.sys"
            ],
        )

    def test_models_without_the_os_build_are_rejected(self):
        expected = (
            "models section VKT.NTamd64 is not for x64 Windows 10 build 16299 or later "
            "(NTamd64.10.0...16299)"
        )
        text = self.faulty("VKT, NTamd64.10.0...16299", "VKT, NTamd64")
        text = text.replace("[VKT.NTamd64.10.0...16299]", "[VKT.NTamd64]")
        status, failures, output = check(text)
        self.assertEqual((status, failures), (1, [expected]), output)
        self.assertRejected(
            "VKT, NTamd64.10.0...16299",
            "VKT",
            [
                "models section VKT is not decorated: expected NTamd64.10.0...16299",
                "[VKT], named by [Manufacturer], is missing",
            ],
        )

    def test_missing_lockdown_is_rejected(self):
        self.assertRejected("PnpLockdown = 1\n", "", ["[Version] has no PnpLockdown"])
        self.assertRejected(
            "PnpLockdown = 1", "PnpLockdown = 0", ['[Version] PnpLockdown is 0, expected "1"']
        )


if __name__ == "__main__":
    unittest.main()
