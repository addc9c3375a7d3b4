"""The INF check against the shipped INF and copies of it with one fault
each. A case passes when the check rejects the copy with exactly the lines
that name its fault, and accepts the shipped INF."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "..", "check_inf.py")
SHIPPED = os.path.join(HERE, "..", "VKTDrv.inf")

with open(SHIPPED, encoding="utf-8-sig") as _file:
    INF = _file.read()

HW = "[VKTDrv_Device.NT.HW]"
ADDREG = "[VKTDrv_Device_Security_AddReg]"
SECURITY = 'HKR,,Security,,"D:P(A;;GA;;;SY)(A;;GA;;;BA)"'
CHARACTERISTICS = "HKR,,DeviceCharacteristics,0x10001,0x100"


def check(text):
    """(exit status, FAIL lines) of the check on an INF of this text."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "VKTDrv.inf")
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
        result = subprocess.run([sys.executable, CHECK, path], capture_output=True, text=True,
                                check=False)
    return result.returncode, [l.split(": ", 2)[2] for l in result.stdout.splitlines()
                               if l.startswith("FAIL: ")]


class HardwareSection(unittest.TestCase):
    def test_shipped_inf_passes(self):
        self.assertEqual(check(INF), (0, []))
        self.assertIn(HW, INF)

    def test_each_fault_is_named(self):
        security_fault = ('[vktdrv_device.nt.hw] must set Security to '
                          '"D:P(A;;GA;;;SY)(A;;GA;;;BA)" once, as REG_SZ')
        characteristics_fault = ("[vktdrv_device.nt.hw] must set DeviceCharacteristics with "
                                 "FILE_DEVICE_SECURE_OPEN (0x100) once, as a REG_DWORD (0x10001)")
        cases = {
            "no hardware section": (INF.replace(HW, "[Unused]"),
                                    ["[vktdrv_device.nt] has no hardware section "
                                     "[vktdrv_device.nt.hw]"]),
            "missing AddReg section": (INF.replace(ADDREG, "[Elsewhere]"),
                                       ["[vktdrv_device.nt.hw] names the missing AddReg section "
                                        "[vktdrv_device_security_addreg]",
                                        security_fault, characteristics_fault]),
            "security for everyone": (INF.replace(SECURITY, SECURITY[:-2] + '(A;;GA;;;WD)"'),
                                      [security_fault]),
            "security commented out": (INF.replace(SECURITY, "; " + SECURITY), [security_fault]),
            "security twice": (INF.replace(SECURITY, SECURITY + "\n" + SECURITY),
                               [security_fault]),
            "characteristics without secure open": (
                INF.replace(CHARACTERISTICS, CHARACTERISTICS[:-5] + "0x80"),
                [characteristics_fault]),
            "characteristics as a string": (
                INF.replace(CHARACTERISTICS, "HKR,,DeviceCharacteristics,,0x100"),
                [characteristics_fault]),
            "no models": (INF.replace("[Manufacturer]", "[NoManufacturer]"),
                          ["no install section named by a models section"]),
        }
        for name, (text, expected) in cases.items():
            with self.subTest(name):
                self.assertNotEqual(text, INF)
                self.assertEqual(check(text), (1, expected))


if __name__ == "__main__":
    unittest.main()
