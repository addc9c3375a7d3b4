"""vktsddl as people and scripts use it: one text with its decoded view, and
batches of JSON string literals with one answer line each.

    test_vktsddl.py PATH_TO_VKTSDDL
"""

import json
import subprocess
import sys
import unittest

TOOL = None

DEVICE_SDDL = "D:P(A;; GA;;; SY)(A;; GA;;; BA)"
DEVICE_DESCRIPTOR = (
    "01000c90000000000000000000000000140000000200340002000000"
    "0000140000000010010100000000000512000000"
    "000018000000001001020000000000052000000020020000"
)


def run(*arguments, stdin=""):
    result = subprocess.run(
        [TOOL, *arguments], input=stdin, capture_output=True, text=True, check=False
    )
    return result.returncode, result.stdout


def batch(texts, *options):
    lines = "".join(json.dumps(text) + "\n" for text in texts)
    status, output = run("--batch", *options, stdin=lines)
    return status, output.splitlines()


class SingleText(unittest.TestCase):
    def test_device_descriptor_shown_and_decoded(self):
        status, output = run("--mark-defaulted=1", DEVICE_SDDL)
        self.assertEqual(status, 0, output)
        self.assertIn("status 0x00000000", output)
        self.assertIn("72 bytes:", output)
        self.assertIn("control 0x900C: SE_SELF_RELATIVE SE_DACL_PROTECTED SE_DACL_DEFAULTED", output)
        self.assertIn("ACE 0: allowed, flags 0x00, mask 0x10000000 (GENERIC_ALL), S-1-5-18", output)
        self.assertIn("ACE 1: allowed, flags 0x00, mask 0x10000000 (GENERIC_ALL), S-1-5-32-544",
                      output)

    def test_failure_prints_the_status(self):
        status, output = run("D:(A;;GA;;;XY)")
        self.assertEqual((status, output), (1, "status 0xC0000073 (STATUS_NONE_MAPPED)\n"))

    def test_usage_errors(self):
        self.assertEqual(run()[0], 2)
        self.assertEqual(run("--gated=2", "D:")[0], 2)
        self.assertEqual(run("D:", "D:")[0], 2)
        self.assertEqual(run("--batch", "D:")[0], 2)


class Batch(unittest.TestCase):
    def test_one_line_per_input(self):
        status, lines = batch(
            [DEVICE_SDDL, "D:(A;;GA;;;SY", "D:(A;;GA;;;\tSY)", "\tD:", " D:", "D:(A;;GA;;;LS)"],
            "--mark-defaulted=1",
        )
        self.assertEqual(status, 1)
        self.assertEqual(
            lines,
            [
                DEVICE_DESCRIPTOR,
                "0xC0000077",
                "0xC0000073",
                "0xC000000D",
                "01000c80000000000000000000000000140000000200080000000000",
                "01000c800000000000000000000000001400000002001c00010000000000140000000010"
                "010100000000000513000000",
            ],
        )

    def test_gated_aliases_and_the_mark(self):
        status, lines = batch(["D:(A;;GA;;;LS)", "D:(A;;GA;;;UD)"], "--gated=0")
        self.assertEqual(status, 0)
        self.assertEqual(lines, ["01000480000000000000000000000000140000000200080000000000"] * 2)

    def test_lines_that_are_no_json_string(self):
        status, output = run("--batch", stdin='"D:"\nD:\n"\\q"\n"D:\\u0000(A;;GA;;;XY)"\n')
        self.assertEqual(status, 2)
        self.assertEqual(
            output.splitlines(),
            [
                "01000480000000000000000000000000140000000200080000000000",
                "error: not a JSON string literal",
                "error: not a JSON string literal",
                "01000480000000000000000000000000140000000200080000000000",
            ],
        )

    def test_texts_longer_than_a_counted_string(self):
        status, lines = batch(["D:" + "(A;;GA;;;WD)" * 3276, "D:" + "(A;;GA;;;WD)" * 3277])
        self.assertEqual(status, 1)
        self.assertEqual(len(lines[0]), 2 * (20 + 65528))
        self.assertEqual(lines[1], "0xC0000099")


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main()
