#!/usr/bin/env python3
"""Mutation testing of the driver's sources against the host build's tests.

Plants one small fault at a time in the driver's sources (a comparison turned,
a condition negated, a status changed, a release dropped, ...), rebuilds the
host build incrementally and runs the suite until its first failing test. A
mutant that some test fails on is killed; one that the whole suite passes
survived, and shows a fault the tests would not notice. Mutants known to
change nothing that can be observed are listed, each with its reason, in
tools/mutants.equivalent and skipped.

    tools/mutants.py BUILD_DIR [--count N] [--seed S] [--file PATH]
    tools/mutants.py --list [--file PATH]

Without --count every mutant runs; with it, a random sample of N (seeded).
Each mutant has a stable name, PATH:KIND:HASH:N, from its file, its kind, a
hash of the line it changes and which such change of that line it is; the
equivalents file names mutants that way. The sources are restored after
every mutant, also when the run is interrupted.
"""

import argparse
import hashlib
import os
import random
import re
import subprocess
import sys
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["driver", "firmware", "supervision", "power", "access", "securedevice"]
EQUIVALENTS = os.path.join(ROOT, "tools", "mutants.equivalent")

# Which tests run first for a mutant of each folder: the group most likely to
# kill it. The rest of the suite follows.
FIRST_GROUP = {
    "driver": "driver", "firmware": "firmware", "supervision": "supervision",
    "power": "power", "access": "access", "securedevice": "securedevice",
}
# Tests that do not run the host build's driver: the Windows image, the real
# image under Wine and the SDDL tool's script.
NOT_HOST = r"^(windows|e2e)\."

# Calls that give something back or tell someone: dropping one should show.
DROPPED_CALLS = (
    "ExFreePoolWithTag|ZwClose|KeLeaveCriticalRegion|ExReleaseResourceLite|"
    "IofCompleteRequest|IoCompleteRequest|IoReleaseRemoveLock|IoReleaseRemoveLockAndWait|"
    "ExDeleteResourceLite|KeCancelTimer|KeFlushQueuedDpcs|IoDeleteDevice|IoDetachDevice|"
    "IoDeleteSymbolicLink|RtlFreeUnicodeString|ObfDereferenceObject|ObDereferenceObject|"
    "KeSetEvent|IoFreeWorkItem|IoWriteErrorLogEntry|PoStartNextPowerIrp|StopWatchdog|"
    "ReportState|LogTransition|WriteEventLogEntry|StopSupervisionCycle|UndoStartUp|"
    "FreeDeviceOverrides")


@dataclass
class Mutant:
    path: str      # source file, relative to the repository
    kind: str      # what kind of fault
    start: int     # offset of the replaced text
    end: int       # offset after it
    text: str      # what replaces it
    line: int      # line number, for the report
    name: str = "" # stable name: path:kind:hash:n


def code_mask(source):
    """The source with comments, string and character literals blanked, so
    that operators are found in code only; offsets stay the same."""
    out = list(source)
    i, n = 0, len(source)
    while i < n:
        if source.startswith("//", i):
            j = source.find("\n", i)
            j = n if j < 0 else j
        elif source.startswith("/*", i):
            j = source.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif source[i] in "\"'":
            quote, j = source[i], i + 1
            while j < n and source[j] != quote:
                j += 2 if source[j] == "\\" else 1
            j += 1
        elif source[i] == "#" and (i == 0 or source[i - 1] == "\n"):
            j = source.find("\n", i)
            j = n if j < 0 else j
        else:
            i += 1
            continue
        for k in range(i, min(j, n)):
            if out[k] != "\n":
                out[k] = " "
        i = j
    return "".join(out)


def matching_paren(code, open_at):
    depth = 0
    for i in range(open_at, len(code)):
        if code[i] == "(":
            depth += 1
        elif code[i] == ")":
            depth -= 1
            if depth == 0:
                return i
    return -1


def find_mutants(path):
    source = open(os.path.join(ROOT, path)).read()
    code = code_mask(source)
    found = []

    def add(kind, start, end, text):
        found.append(Mutant(path, kind, start, end, text, source.count("\n", 0, start) + 1))

    # Comparisons and their boundaries; binary operators stand between blanks.
    turned = {" < ": " <= ", " <= ": " < ", " > ": " >= ", " >= ": " > ",
              " == ": " != ", " != ": " == "}
    for m in re.finditer(r" (<=|>=|==|!=|<|>) ", code):
        add("compare", m.start(), m.end(), turned[m.group(0)])
    for m in re.finditer(r" (&&|\|\|) ", code):
        add("logic", m.start(), m.end(), " || " if m.group(1) == "&&" else " && ")
    # Conditions negated: the whole condition of an if, and every success test.
    for m in re.finditer(r"\bif \(", code):
        close = matching_paren(code, m.end() - 1)
        inner = code[m.end():close]
        # A lone comparison or success test is turned by the kinds above.
        covered = not re.search(r"&&|\|\|", inner) and re.search(r" (<=|>=|==|!=|<|>) |NT_SUCCESS", inner)
        if close > 0 and not covered:
            add("negate", m.end(), close, "!(" + source[m.end():close] + ")")
    for m in re.finditer(r"(?<![!\w])NT_SUCCESS\(", code):
        add("negate", m.start(), m.start(), "!")
    # A status returned or assigned is changed: an error to success, success
    # to a failure.
    for m in re.finditer(r"\b(return|status =) (STATUS_\w+);", code):
        value = m.group(2)
        other = "STATUS_UNSUCCESSFUL" if value == "STATUS_SUCCESS" else "STATUS_SUCCESS"
        add("status", m.start(2), m.end(2), other)
    # A call that releases, frees, cancels, completes or reports, dropped.
    for m in re.finditer(r"(?m)^[ \t]+((?:\(void\))?(?:" + DROPPED_CALLS + r")\()", code):
        close = matching_paren(code, m.end() - 1)
        if close > 0 and code[close + 1:close + 2] == ";":
            add("drop", m.start(1), close + 2, "")
    # Names: the changed line's text, hashed, and which change of it this is.
    seen = {}
    lines = source.split("\n")
    for mutant in found:
        line_text = lines[mutant.line - 1].strip()
        digest = hashlib.sha1(line_text.encode()).hexdigest()[:8]
        key = (mutant.kind, digest)
        seen[key] = seen.get(key, 0) + 1
        mutant.name = f"{path}:{mutant.kind}:{digest}:{seen[key]}"
    return source, found


def all_sources():
    paths = []
    for folder in FOLDERS:
        for name in sorted(os.listdir(os.path.join(ROOT, folder))):
            if name.endswith((".cpp", ".h")):
                paths.append(f"{folder}/{name}")
    return paths


def read_equivalents():
    names = {}
    if os.path.exists(EQUIVALENTS):
        for raw in open(EQUIVALENTS):
            line = raw.strip()
            if line and not line.startswith("#"):
                name, _, reason = line.partition(" ")
                if not reason.strip():
                    sys.exit(f"{EQUIVALENTS}: {name} has no reason")
                names[name] = reason.strip()
    return names


def diff_of(source, mutant):
    start = source.rfind("\n", 0, mutant.start) + 1
    end = source.find("\n", mutant.end)
    end = len(source) if end < 0 else end
    before = source[start:end]
    after = source[start:mutant.start] + mutant.text + source[mutant.end:end]
    return f"--- {mutant.path}:{mutant.line}\n-{before}\n+{after}"


def run(command, timeout=None):
    return subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=timeout).returncode


def killed(build, mutant):
    """Builds the mutant and runs the suite to its first failure: True when a
    test fails, False when all pass, None when the mutant does not build."""
    if run(["cmake", "--build", build]) != 0:
        return None
    group = FIRST_GROUP[mutant.path.split("/")[0]]
    ctest = ["ctest", "--test-dir", build, "-j", str(os.cpu_count() or 2), "--stop-on-failure",
             "--timeout", "120", "-E", NOT_HOST]
    if run(ctest + ["-R", rf"^{group}\."]) != 0:
        return True
    return run(ctest + ["-E", rf"{NOT_HOST}|^{group}\."]) != 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", help="a configured host build folder")
    parser.add_argument("--count", type=int, help="run a random sample of this many mutants")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed")
    parser.add_argument("--file", help="only the mutants of this source")
    parser.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    args = parser.parse_args()

    equivalents = read_equivalents()
    sources, mutants = {}, []
    for path in all_sources():
        if args.file and path != args.file:
            continue
        sources[path], found = find_mutants(path)
        mutants += found
    unknown = set(equivalents) - {m.name for m in mutants}
    if unknown and not args.file:
        sys.exit("equivalents that match no mutant any more: " + ", ".join(sorted(unknown)))
    skipped = [m for m in mutants if m.name in equivalents]
    mutants = [m for m in mutants if m.name not in equivalents]
    if args.count is not None and args.count < len(mutants):
        mutants = random.Random(args.seed).sample(mutants, args.count)
    if args.list:
        for mutant in mutants:
            print(mutant.name)
            print(diff_of(sources[mutant.path], mutant))
        return 0
    if args.build is None:
        parser.error("a build folder is needed to run the mutants")

    print(f"{len(mutants)} mutants to run, {len(skipped)} listed as equivalent and skipped")
    outcome = {"killed": [], "survived": [], "stillborn": []}
    began = time.time()
    try:
        for number, mutant in enumerate(mutants, 1):
            source = sources[mutant.path]
            target = os.path.join(ROOT, mutant.path)
            with open(target, "w") as out:
                out.write(source[:mutant.start] + mutant.text + source[mutant.end:])
            try:
                result = killed(args.build, mutant)
            finally:
                with open(target, "w") as out:
                    out.write(source)
            verdict = {True: "killed", False: "survived", None: "stillborn"}[result]
            outcome[verdict].append(mutant)
            print(f"[{number}/{len(mutants)}] {verdict:9} {mutant.name}", flush=True)
    finally:
        run(["cmake", "--build", args.build])
    tried = len(outcome["killed"]) + len(outcome["survived"])
    score = 100.0 * len(outcome["killed"]) / tried if tried else 100.0
    print(f"\nkilled {len(outcome['killed'])}, survived {len(outcome['survived'])}, "
          f"did not build {len(outcome['stillborn'])}, equivalent {len(skipped)}; "
          f"score {score:.1f}% in {time.time() - began:.0f} s")
    for mutant in outcome["survived"]:
        print("\nsurvived " + mutant.name)
        print(diff_of(sources[mutant.path], mutant))
    return 1 if outcome["survived"] else 0


if __name__ == "__main__":
    sys.exit(main())
