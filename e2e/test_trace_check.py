"""The trace checks of the end-to-end run, on made-up traces: each must pass
the right trace and fail a wrong one with a message naming the step and
what the firmware saw."""

import struct
import unittest

import trace_check
from trace_check import TraceError


def simple(method):
    return (struct.pack("<I", trace_check.SIGNATURE_SIMPLE) + method.encode()).hex()


def padded(method):
    return simple(method) + "00" * 16


def integer(method, value, size):
    header = struct.pack("<I", trace_check.SIGNATURE_COMPLEX) + method.encode()
    argument = struct.pack("<IIHH", 8, 1, 0, size) + value.to_bytes(4, "little")
    return (header + argument).hex()


def line(time, method, data, status=0):
    return f"{time} {method} {data} 0x{status:08x}"


FIRST_CREATION = "\n".join(
    [
        "100 # install driver",
        line(150, "CVKT", simple("CVKT")),
        line(160, "SSXS", integer("SSXS", 0x20, 1)),
        "170 # child started",
        "3000 # commands sent",
        line(10180, "FVKT", integer("FVKT", 0x2A, 4)),
        line(20160, "FVKT", integer("FVKT", 0x2A, 4)),
    ]
)


class Reading(unittest.TestCase):
    def test_entries_and_arguments(self):
        entries = trace_check.parse(FIRST_CREATION + "\n" + line(30000, "GSXS", padded("GSXS")))
        found = trace_check.evaluations(entries)
        self.assertEqual([e.method for e in found], ["CVKT", "SSXS", "FVKT", "FVKT", "GSXS"])
        self.assertEqual([e.argument for e in found], [None, 0x20, 0x2A, 0x2A, None])
        self.assertEqual(trace_check.marker_time(entries, "child started"), 170)

    def test_unreadable_line_is_named(self):
        with self.assertRaisesRegex(TraceError, r"trace line 2 cannot be read: '150 CVKT'"):
            trace_check.parse("100 # install driver\n150 CVKT\n")

    def test_missing_marker_is_named(self):
        entries = trace_check.parse(FIRST_CREATION)
        with self.assertRaisesRegex(TraceError, 'the trace has no marker "unplug"'):
            trace_check.section(entries, "unplug")


class Sequences(unittest.TestCase):
    def creation(self, text):
        return trace_check.section(trace_check.parse(text), "install driver", "child started")

    def test_first_creation_passes(self):
        creation = self.creation(FIRST_CREATION)
        trace_check.expect_no_method("first creation", creation, "GSXS")
        trace_check.expect_sequence("first creation", creation, [("CVKT", None), ("SSXS", 0x20)])

    def test_read_status_on_first_creation_fails(self):
        text = FIRST_CREATION.replace(
            "100 # install driver", "100 # install driver\n" + line(120, "GSXS", padded("GSXS"))
        )
        with self.assertRaisesRegex(TraceError, r"^first creation: GSXS was evaluated \(GSXS, "):
            trace_check.expect_no_method("first creation", self.creation(text), "GSXS")

    def test_missing_state_report_fails(self):
        text = "\n".join(l for l in FIRST_CREATION.splitlines() if " SSXS " not in l)
        with self.assertRaisesRegex(
            TraceError, r"^first creation: the firmware saw CVKT; expected CVKT, SSXS\(0x20\)$"
        ):
            trace_check.expect_sequence(
                "first creation", self.creation(text), [("CVKT", None), ("SSXS", 0x20)]
            )

    def test_wrong_state_code_fails(self):
        text = FIRST_CREATION.replace(integer("SSXS", 0x20, 1), integer("SSXS", 0x22, 1))
        wrong = r"saw CVKT, SSXS\(0x22\); expected CVKT, SSXS\(0x20\)"
        with self.assertRaisesRegex(TraceError, wrong):
            trace_check.expect_sequence(
                "first creation", self.creation(text), [("CVKT", None), ("SSXS", 0x20)]
            )

    def test_failed_evaluation_fails(self):
        text = FIRST_CREATION.replace(
            line(150, "CVKT", simple("CVKT")), line(150, "CVKT", simple("CVKT"), 0xC0000001)
        )
        with self.assertRaisesRegex(TraceError, r"^removal: CVKT failed with 0xC0000001$"):
            trace_check.expect_sequence(
                "removal", self.creation(text), [("CVKT", None), ("SSXS", 0x20)]
            )


class Cycle(unittest.TestCase):
    def feeds(self, text):
        entries = trace_check.parse(text)
        return trace_check.section(entries, "commands sent"), trace_check.marker_time(
            entries, "child started"
        )

    def test_feeds_ten_seconds_apart_pass(self):
        after, started = self.feeds(FIRST_CREATION)
        trace_check.expect_cycle("supervision cycle", after, started, 0x2A)

    def test_feed_off_the_period_fails(self):
        after, started = self.feeds(
            FIRST_CREATION.replace(line(10180, "FVKT", integer("FVKT", 0x2A, 4)),
                                   line(5170, "FVKT", integer("FVKT", 0x2A, 4)))
        )
        with self.assertRaisesRegex(TraceError, r"a cycle fed 5000 ms after the start"):
            trace_check.expect_cycle("supervision cycle", after, started, 0x2A)

    def test_no_feed_fails(self):
        after, started = self.feeds(
            "\n".join(l for l in FIRST_CREATION.splitlines() if " FVKT " not in l)
        )
        with self.assertRaisesRegex(TraceError, r"^supervision cycle: no feed FVKT\(0x2A\)"):
            trace_check.expect_cycle("supervision cycle", after, started, 0x2A)


if __name__ == "__main__":
    unittest.main()
