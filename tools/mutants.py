#!/usr/bin/env python3
"""Mutation testing of the driver's sources against the host build's tests.

Plants one small fault at a time in the driver's sources (a comparison turned,
a condition negated, a status changed, a release dropped, ...), rebuilds the
host build incrementally and runs the tests that reach the changed lines,
quickest first, until one fails. A mutant that some test fails on (or hangs
in) is killed; one that every such test passes survived, and shows a fault
the tests would not notice. Mutants known to change nothing that can be
observed are listed, each with its reason, in tools/mutants.equivalent and
skipped.

    tools/mutants.py BUILD_DIR --map-build MAP_DIR [--count N] [--seed S]
                     [--file PATH]... [--mutant NAME]... [--fresh]
    tools/mutants.py --list [--file PATH]...

Which tests reach which lines comes from MAP_DIR, a host build made with
VKT_COVERAGE: every test is run alone there once and gcov read after it; the
map is kept there until a source changes. A line gcov finds no code on
(a constant, a declaration) is reached by every test, so is every line of a
header (its inline routines are also compiled into the tests that call them,
uncounted), and so is every line by a test that skips itself there (the instruction budget, which needs an
optimised build); those run after the others. Verdicts are kept in
BUILD_DIR/mutants-journal.txt, so a run that was interrupted goes on where it
stopped; --fresh forgets them. Without --count every mutant runs; with it, a
random sample of N (seeded). Each mutant has a stable name, PATH:KIND:HASH:N,
from its file, its kind, a hash of the line it changes and which such change
of that line it is; the equivalents file names mutants that way. The sources
are restored after every mutant, also when the run is interrupted.
"""

import argparse
import hashlib
import json
import os
import random
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ["driver", "firmware", "supervision", "power", "access", "securedevice"]
EQUIVALENTS = os.path.join(ROOT, "tools", "mutants.equivalent")

# Tests that do not run the host build's driver: the Windows image, the real
# image under Wine and the SDDL tool's script.
NOT_HOST = r"^(windows|e2e)\."
# Changes when what the map records changes, so that an older map is made again.
MAP_FORMAT = b"2"

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
    # A constant the compiler checks cannot survive: such a mutant only fails
    # to build.
    lines = source.split("\n")
    found = [m for m in found if not lines[m.line - 1].lstrip().startswith("static_assert(")]
    # Names: the changed line's text, hashed, and which change of it this is.
    seen = {}
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


def run(command):
    return subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True).returncode


@dataclass
class Test:
    name: str      # ctest's name
    command: list  # what ctest runs
    cwd: str       # its working folder
    env: dict      # its environment
    timeout: float # ctest's limit, seconds


def host_tests(build):
    """The host build's tests as ctest runs them, without those that do not
    run the host build's driver."""
    listing = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                                        stdout=subprocess.PIPE, text=True, check=True).stdout)
    tests = {}
    for entry in listing["tests"]:
        if re.match(NOT_HOST, entry["name"]):
            continue
        properties = {p["name"]: p["value"] for p in entry.get("properties", [])}
        env = dict(os.environ)
        for pair in properties.get("ENVIRONMENT", []):
            key, _, value = pair.partition("=")
            env[key] = value
        tests[entry["name"]] = Test(entry["name"], entry["command"],
                                    properties.get("WORKING_DIRECTORY", build), env,
                                    float(properties.get("TIMEOUT", 1500)))
    return tests


def sources_digest():
    """A digest of everything the map depends on: the driver, the kernel it
    runs on, the simulator and the tests."""
    digest = hashlib.sha1(MAP_FORMAT)
    for folder in FOLDERS + ["include", "platform", "hostkernel", "sim", "tests", "scenarios"]:
        for base, dirs, files in sorted(os.walk(os.path.join(ROOT, folder))):
            dirs.sort()
            for name in sorted(files):
                path = os.path.join(base, name)
                digest.update(path.encode())
                digest.update(open(path, "rb").read())
    return digest.hexdigest()


def executed_lines(map_build):
    """The driver's lines that gcov counts in map_build's last run: for each
    source, the lines with code and the lines that ran."""
    objects = os.path.join(map_build, "CMakeFiles", "vktdriver.dir")
    counts = [os.path.relpath(os.path.join(base, name), map_build)
              for base, _, files in os.walk(objects) for name in files if name.endswith(".gcda")]
    code, ran = {}, {}
    if not counts:
        return code, ran
    output = subprocess.run(["gcov", "--json-format", "--stdout", *counts], cwd=map_build,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                            check=True).stdout
    for line in output.splitlines():
        record = json.loads(line)
        for entry in record["files"]:
            path = os.path.relpath(os.path.join(record["current_working_directory"],
                                                entry["file"]), ROOT)
            if path.split("/")[0] not in FOLDERS:
                continue
            for counted in entry["lines"]:
                code.setdefault(path, set()).add(counted["line_number"])
                if counted["count"] > 0:
                    ran.setdefault(path, set()).add(counted["line_number"])
    return code, ran


def coverage_map(map_build):
    """Which of the driver's lines each test runs, and how long it takes:
    every test run alone in a build with gcov's counts. Kept in map_build
    and made again when a source changes."""
    stored = os.path.join(map_build, "mutants-map.json")
    digest = sources_digest()
    if os.path.exists(stored):
        known = json.load(open(stored))
        if known["digest"] == digest:
            return known
    if run(["cmake", "--build", map_build]) != 0:
        sys.exit(f"{map_build} does not build")
    tests = host_tests(map_build)
    print(f"mapping which lines each of {len(tests)} tests runs in {map_build}", flush=True)
    objects = os.path.join(map_build, "CMakeFiles", "vktdriver.dir")
    result = {"digest": digest, "code": {}, "tests": {}}
    for test in tests.values():
        for base, _, files in os.walk(objects):
            for name in files:
                if name.endswith(".gcda"):
                    os.remove(os.path.join(base, name))
        began = time.time()
        done = subprocess.run(test.command, cwd=test.cwd, env=test.env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            sys.exit(f"{test.name} fails without a mutant in {map_build}")
        code, ran = executed_lines(map_build)
        for path, lines in code.items():
            result["code"].setdefault(path, set()).update(lines)
        record = {"seconds": time.time() - began,
                  "lines": {p: sorted(l) for p, l in ran.items()}}
        # A test that skips itself in this build (the instruction budget, in
        # an unoptimised one) may still run lines in the mutants' build: it
        # is taken to reach every line.
        if "[  SKIPPED ]" in done.stdout:
            record["everywhere"] = True
        result["tests"][test.name] = record
    result["code"] = {p: sorted(l) for p, l in result["code"].items()}
    json.dump(result, open(stored, "w"))
    return result


def tests_for(mutant, source, coverage, tests):
    """The tests that run the mutated lines, quickest first. Lines gcov
    counts no code on (constants, declarations) are reached by every test."""
    first = mutant.line
    last = source.count("\n", 0, mutant.end) + 1
    lines = set(range(first, last + 1))
    # Inline routines of a header are also compiled into the tests that
    # call them, in a copy gcov does not count: every test may reach them.
    if mutant.path.endswith(".h") or not lines & set(coverage["code"].get(mutant.path, [])):
        chosen = list(tests)
    else:
        chosen = [name for name, record in coverage["tests"].items()
                  if record.get("everywhere") or lines & set(record["lines"].get(mutant.path, []))]
    # Tests taken to reach every line run after those known to reach these.
    def order(name):
        record = coverage["tests"].get(name, {})
        return (record.get("everywhere", False), record.get("seconds", 1e9))
    return sorted((n for n in chosen if n in tests), key=order)


def any_fails(tests, names, limits):
    """Runs the tests, as many at once as there are processors, until one
    fails or runs past its limit: that test's name, or None when all pass."""
    waiting, running = list(names), {}
    try:
        while waiting or running:
            while waiting and len(running) < (os.cpu_count() or 2):
                test = tests[waiting.pop(0)]
                running[test.name] = (subprocess.Popen(
                    test.command, cwd=test.cwd, env=test.env, stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL, start_new_session=True), time.time())
            time.sleep(0.02)
            for name, (process, began) in list(running.items()):
                if process.poll() is None and time.time() - began < limits[name]:
                    continue
                del running[name]
                if process.returncode != 0:
                    return name
    finally:
        for process, _ in running.values():
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    return None


def verdict_of(build, mutant, source, coverage, tests):
    """Builds the programs of the tests that reach the mutant's lines and runs
    those tests until one fails: the verdict, and which test killed it or how
    many passed."""
    names = tests_for(mutant, source, coverage, tests)
    # The build's programs the tests run are its targets of the same names.
    built = os.path.abspath(build) + os.sep
    programs = sorted({os.path.basename(part) for n in names for part in tests[n].command
                       if os.path.abspath(part).startswith(built) and os.path.isfile(part)
                       and os.access(part, os.X_OK)})
    if run(["cmake", "--build", build, "--target", "vktdriver", *programs]) != 0:
        return "stillborn", ""
    if not names:
        return "survived", "no test runs these lines"
    limits = {n: min(tests[n].timeout, max(30.0, 10 * coverage["tests"].get(n, {}).get(
        "seconds", 30.0))) for n in names}
    killer = any_fails(tests, names, limits)
    if killer is None:
        return "survived", f"{len(names)} tests pass"
    return "killed", killer


def stop_as_interrupted(*_):
    """A run stopped with SIGTERM restores the source it mutated, as ^C does."""
    raise KeyboardInterrupt()


def read_journal(path, digest):
    """Verdicts of an earlier run on the same sources, by mutant name."""
    verdicts = {}
    if os.path.exists(path):
        for line in open(path):
            fields = line.rstrip("\n").split(" ", 3)
            if len(fields) == 4 and fields[0] == digest:
                verdicts[fields[1]] = (fields[2], fields[3])
    return verdicts


def main():
    signal.signal(signal.SIGTERM, stop_as_interrupted)
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", nargs="?", help="a configured host build folder")
    parser.add_argument("--map-build", help="a configured host build folder with gcov's counts")
    parser.add_argument("--count", type=int, help="run a random sample of this many mutants")
    parser.add_argument("--seed", type=int, default=1, help="the sample's seed")
    parser.add_argument("--file", action="append",
                        help="only the mutants of this source or folder (repeatable)")
    parser.add_argument("--mutant", action="append", help="only this mutant (repeatable)")
    parser.add_argument("--fresh", action="store_true", help="forget an earlier run's verdicts")
    parser.add_argument("--list", action="store_true", help="list the mutants, run nothing")
    args = parser.parse_args()

    equivalents = read_equivalents()
    sources, mutants = {}, []
    for path in all_sources():
        if args.file and not any(path == f or path.startswith(f.rstrip("/") + "/")
                                 for f in args.file):
            continue
        sources[path], found = find_mutants(path)
        mutants += found
    unknown = set(equivalents) - {m.name for m in mutants}
    if unknown and not args.file:
        sys.exit("equivalents that match no mutant any more: " + ", ".join(sorted(unknown)))
    skipped = [m for m in mutants if m.name in equivalents]
    mutants = [m for m in mutants if m.name not in equivalents]
    if args.mutant:
        missing = set(args.mutant) - {m.name for m in mutants}
        if missing:
            sys.exit("no such mutant: " + ", ".join(sorted(missing)))
        mutants = [m for m in mutants if m.name in args.mutant]
    if args.count is not None and args.count < len(mutants):
        mutants = random.Random(args.seed).sample(mutants, args.count)
    if args.list:
        for mutant in mutants:
            print(mutant.name)
            print(diff_of(sources[mutant.path], mutant))
        return 0
    if args.build is None or args.map_build is None:
        parser.error("a build folder and a map build folder are needed to run the mutants")

    coverage = coverage_map(args.map_build)
    if run(["cmake", "--build", args.build]) != 0:
        sys.exit(f"{args.build} does not build")
    tests = host_tests(args.build)
    failing = any_fails(tests, sorted(tests), {n: tests[n].timeout for n in tests})
    if failing is not None:
        sys.exit(f"{failing} fails without a mutant in {args.build}")
    journal_path = os.path.join(args.build, "mutants-journal.txt")
    earlier = {} if args.fresh else read_journal(journal_path, coverage["digest"])
    print(f"{len(mutants)} mutants to run, {len(skipped)} listed as equivalent and skipped, "
          f"{sum(m.name in earlier for m in mutants)} decided by an earlier run of these sources")
    outcome = {"killed": [], "survived": [], "stillborn": []}
    began = time.time()
    try:
        with open(journal_path, "a") as journal:
            for number, mutant in enumerate(mutants, 1):
                if mutant.name in earlier:
                    verdict, detail = earlier[mutant.name]
                else:
                    source = sources[mutant.path]
                    target = os.path.join(ROOT, mutant.path)
                    with open(target, "w") as out:
                        out.write(source[:mutant.start] + mutant.text + source[mutant.end:])
                    try:
                        verdict, detail = verdict_of(args.build, mutant, source, coverage, tests)
                    finally:
                        with open(target, "w") as out:
                            out.write(source)
                    journal.write(f"{coverage['digest']} {mutant.name} {verdict} {detail}\n")
                    journal.flush()
                outcome[verdict].append(mutant)
                print(f"[{number}/{len(mutants)}] {verdict:9} {mutant.name}  {detail}", flush=True)
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
