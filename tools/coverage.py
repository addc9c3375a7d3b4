#!/usr/bin/env python3
"""Coverage of the driver's sources from a build made with VKT_COVERAGE after
its tests ran.

    tools/coverage.py BUILD_DIR REPORT_DIR [--floor FILE]

Prints line, routine and branch coverage (gcc's count, exception edges
included) per driver source and in total, and writes an HTML report to
REPORT_DIR/index.html. With --floor, exits 1 when line coverage in total is
below the percentage FILE holds.
"""

import argparse
import json
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The six folders of the driver's sources (driver_sources.cmake).
DRIVER_FOLDERS = ("driver", "firmware", "supervision", "power", "access", "securedevice")


def percent(covered, total):
    return 100.0 * covered / total if total else 100.0


def cell(record, kind):
    covered, total = record[f"{kind}_covered"], record[f"{kind}_total"]
    return f"{covered}/{total} {percent(covered, total):5.1f}%"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build_dir", type=pathlib.Path)
    parser.add_argument("report_dir", type=pathlib.Path)
    parser.add_argument("--floor", type=pathlib.Path)
    args = parser.parse_args()

    args.report_dir.mkdir(parents=True, exist_ok=True)
    summary_path = args.report_dir / "summary.json"
    filters = [f"--filter={ROOT}/{folder}/" for folder in DRIVER_FOLDERS]
    subprocess.run(["gcovr", "--root", str(ROOT), "--object-directory", str(args.build_dir),
                    *filters, "--json-summary", str(summary_path),
                    "--html-details", str(args.report_dir / "index.html")], check=True)
    summary = json.loads(summary_path.read_text())

    rows = [(record["filename"], record) for record in sorted(summary["files"],
                                                              key=lambda r: r["filename"])]
    rows.append(("total", summary))
    width = max(len(name) for name, _ in rows)
    print(f"{'file':<{width}}  {'lines':>16}  {'routines':>14}  {'branches':>16}")
    for name, record in rows:
        print(f"{name:<{width}}  {cell(record, 'line'):>16}  {cell(record, 'function'):>14}  "
              f"{cell(record, 'branch'):>16}")
    print(f"HTML report: {args.report_dir / 'index.html'}")

    if args.floor is not None:
        floor = float(args.floor.read_text().split()[0])
        lines = percent(summary["line_covered"], summary["line_total"])
        if lines < floor:
            print(f"line coverage {lines:.2f}% is below the floor of {floor}% ({args.floor})")
            return 1
        print(f"line coverage {lines:.2f}% holds the floor of {floor}% ({args.floor})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
