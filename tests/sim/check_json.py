"""Checks vktsim's --json trace: one JSON object per line, each with the
fields the README documents for its kind."""
import json
import subprocess
import sys

REQUIRED = {
    "eval": {"method": str, "arg": (int, type(None)), "status": int},
    "log": {"code": int, "message": str},
    "request": {"request": str, "status": int},
    "expiry": {"last_state": int},
    "cycle": {"fed": bool, "reason": str},
}


def main(vktsim, scenario):
    lines = subprocess.run([vktsim, "--json", scenario], check=True, capture_output=True,
                           text=True).stdout.splitlines()
    kinds = set()
    previous = 0
    for number, line in enumerate(lines, 1):
        event = json.loads(line)
        for field, kind in {"t": int, "kind": str, "who": str, "text": str}.items():
            assert isinstance(event.get(field), kind), f"line {number}: {field} in {line}"
        assert event["t"] >= previous, f"line {number}: time goes back"
        previous = event["t"]
        for field, kind in REQUIRED.get(event["kind"], {}).items():
            assert isinstance(event.get(field), kind), f"line {number}: {field} in {line}"
        kinds.add(event["kind"])
    missing = {"eval", "request", "cycle", "expiry", "reset", "boot"} - kinds
    assert not missing, f"no event of kind {missing}"
    expiry = next(json.loads(l) for l in lines if '"kind":"expiry"' in l)
    assert expiry["t"] == 100 * 10_000_000 and expiry["last_state"] == 0x2A, expiry
    print(f"{len(lines)} events checked")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
