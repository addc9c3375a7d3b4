#!/usr/bin/env python3
"""Static analysis of the driver's sources, as the host build and the Windows
build compile them.

    tools/analyze.py BUILD_HOST BUILD_WINDOWS

Both build directories must be configured with CMAKE_EXPORT_COMPILE_COMMANDS.
Runs clang-tidy (checks in .clang-tidy) over every driver source with the
compile commands of each build, then the clang static analyzer over the
Windows build's compile commands. Prints every finding and a count per pass;
exits 1 when there is any finding or a source does not compile.
"""

import concurrent.futures
import json
import os
import pathlib
import shlex
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The six folders of the driver's sources (driver_sources.cmake).
DRIVER_FOLDERS = ("driver", "firmware", "supervision", "power", "access", "securedevice")


def driver_commands(build_dir):
    """The compile command of each driver source in build_dir, by source."""
    path = pathlib.Path(build_dir) / "compile_commands.json"
    try:
        entries = json.loads(path.read_text())
    except OSError as error:
        sys.exit(f"analyze: {error}; configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON")
    commands = {}
    for entry in entries:
        source = pathlib.Path(entry["directory"], entry["file"]).resolve()
        relative = source.relative_to(ROOT) if ROOT in source.parents else None
        if relative is not None and relative.parts[0] in DRIVER_FOLDERS:
            commands[relative] = entry
    if not commands:
        sys.exit(f"analyze: no driver source in {path}")
    return commands


def run(arguments, cwd):
    """Runs one tool; returns (failed, output)."""
    result = subprocess.run(arguments, cwd=cwd, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    return result.returncode != 0, result.stdout


def tidy(build_dir, source, entry):
    return run(["clang-tidy", "--quiet", "-p", str(build_dir), str(ROOT / source)], ROOT)


def analyzer(build_dir, source, entry):
    # The build's own command with its output replaced by the analyzer's.
    arguments = entry.get("arguments") or shlex.split(entry["command"])
    kept, skip = [], False
    for argument in arguments:
        if skip:
            skip = False
        elif argument in ("-o", "-c"):
            skip = argument == "-o"
        elif argument != entry["file"]:
            kept.append(argument)
    kept += ["--analyze", "-Xanalyzer", "-analyzer-werror", "-o", os.devnull, entry["file"]]
    return run(kept, entry["directory"])


def findings_of(output):
    return [line for line in output.splitlines() if ": error: " in line or ": warning: " in line]


def analyse(name, tool, build_dir, commands, pool):
    jobs = {source: pool.submit(tool, build_dir, source, entry)
            for source, entry in sorted(commands.items())}
    total = 0
    for source, job in jobs.items():
        failed, output = job.result()
        findings = findings_of(output)
        if failed or findings:
            print(output.rstrip())
            total += max(len(findings), 1)
    print(f"== {name}: {len(commands)} sources, {total} findings", flush=True)
    return total


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    host, windows = (pathlib.Path(arg).resolve() for arg in sys.argv[1:])
    host_commands, windows_commands = driver_commands(host), driver_commands(windows)
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        total = analyse("clang-tidy, host build", tidy, host, host_commands, pool)
        total += analyse("clang-tidy, Windows build", tidy, windows, windows_commands, pool)
        total += analyse("clang static analyzer, Windows build", analyzer, windows,
                         windows_commands, pool)
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
