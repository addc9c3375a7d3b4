"""Reading the test bus's trace and checking what the driver asked of the
firmware, step by step.

Each line of the trace is either an evaluation,

    <milliseconds> <method> <input bytes in hex> 0x<status>

or a marker of what happened around the evaluations,

    <milliseconds> # <text>

A check returns nothing when the step is right and raises TraceError with a
message naming the step and what was wrong otherwise.
"""

import re
import struct

SIGNATURE_SIMPLE = 0x42696541  # "AeiB": method name only
SIGNATURE_INTEGER = 0x49696541  # "AeiI": method name and one integer
SIGNATURE_COMPLEX = 0x43696541  # "AeiC": method name and an argument array


class TraceError(Exception):
    pass


class Evaluation:
    """One method evaluation: its time, name, integer argument (or None),
    input bytes and the status the firmware answered with."""

    def __init__(self, time, method, data, status):
        self.time = time
        self.method = method
        self.data = data
        self.status = status
        self.argument = argument_of(data)

    def __repr__(self):
        shown = self.method if self.argument is None else f"{self.method}(0x{self.argument:X})"
        return shown if self.status == 0 else f"{shown}->0x{self.status:08X}"


class Marker:
    def __init__(self, time, text):
        self.time = time
        self.text = text

    def __repr__(self):
        return f"# {self.text}"


def argument_of(data):
    """The integer argument carried by an evaluation input, or None."""
    if len(data) < 8:
        return None
    (signature,) = struct.unpack_from("<I", data, 0)
    if signature == SIGNATURE_INTEGER and len(data) >= 12:
        return struct.unpack_from("<I", data, 8)[0]
    if signature == SIGNATURE_COMPLEX and len(data) >= 20:
        count = struct.unpack_from("<I", data, 12)[0]
        _, length = struct.unpack_from("<HH", data, 16)
        if count >= 1 and 1 <= length <= 4 and len(data) >= 20 + length:
            return int.from_bytes(data[20 : 20 + length], "little")
    return None


LINE = re.compile(r"^(\d+) (?:# (.*)|(\S{4}) ([0-9a-f]*) 0x([0-9a-f]{8}))$")


def parse(text):
    """The trace's entries, in order."""
    entries = []
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip():
            continue
        match = LINE.match(line)
        if not match:
            raise TraceError(f"trace line {number} cannot be read: {line!r}")
        time = int(match.group(1))
        if match.group(2) is not None:
            entries.append(Marker(time, match.group(2)))
        else:
            entries.append(
                Evaluation(
                    time, match.group(3), bytes.fromhex(match.group(4)), int(match.group(5), 16)
                )
            )
    return entries


def evaluations(entries):
    return [entry for entry in entries if isinstance(entry, Evaluation)]


def section(entries, start, end=None):
    """The entries after the marker `start` up to the marker `end` (or the
    end of the trace)."""
    begin = marker_index(entries, start)
    finish = len(entries) if end is None else marker_index(entries, end, begin + 1)
    return entries[begin + 1 : finish]


def marker_index(entries, text, first=0):
    for index in range(first, len(entries)):
        if isinstance(entries[index], Marker) and entries[index].text == text:
            return index
    raise TraceError(f'the trace has no marker "{text}"')


def marker_time(entries, text):
    return entries[marker_index(entries, text)].time


def show(entries):
    return ", ".join(repr(entry) for entry in evaluations(entries)) or "no evaluation"


def expect_sequence(step, entries, expected):
    """The evaluations are exactly `expected`: (method, argument) pairs, an
    argument of None meaning any, all answered with success."""
    found = evaluations(entries)
    wanted = ", ".join(m if a is None else f"{m}(0x{a:X})" for m, a in expected)
    if len(found) != len(expected) or any(
        entry.method != method or (argument is not None and entry.argument != argument)
        for entry, (method, argument) in zip(found, expected)
    ):
        raise TraceError(f"{step}: the firmware saw {show(entries)}; expected {wanted}")
    for entry in found:
        if entry.status != 0:
            raise TraceError(f"{step}: {entry.method} failed with 0x{entry.status:08X}")


def expect_no_method(step, entries, method):
    if any(entry.method == method for entry in evaluations(entries)):
        raise TraceError(f"{step}: {method} was evaluated ({show(entries)})")


def expect_cycle(step, entries, started, feeds, period_ms=10000, tolerance_ms=1500):
    """At least one feed of the supervision cycle among `entries`, each at a
    whole number of periods after the start at `started` (milliseconds)."""
    found = [e for e in evaluations(entries) if e.method == "FVKT" and e.argument == feeds]
    if not found:
        raise TraceError(
            f"{step}: no feed FVKT(0x{feeds:X}) by the supervision cycle ({show(entries)})"
        )
    for entry in found:
        elapsed = entry.time - started
        periods = round(elapsed / period_ms)
        if periods < 1 or abs(elapsed - periods * period_ms) > tolerance_ms:
            raise TraceError(
                f"{step}: a cycle fed {elapsed} ms after the start, not a multiple of "
                f"{period_ms} ms (within {tolerance_ms} ms)"
            )
