#!/usr/bin/env python3
"""The real driver image end to end under Wine.

Makes a fresh Wine prefix, installs the test bus driver over a
root-enumerated device and then dist/VKTDrv.inf and dist/VKTDrv.sys on the
bus's child through the Plug and Play install path, reads the installed
image's message table as the event viewer does, drives the device with the
real dist/vktctl.exe and with power requests sent through the bus's control
device, restarts the prefix, takes the child away, and checks the trace of
every firmware method evaluation.

Every wait has a time limit; a failure names the step. The prefix's Wine
server is stopped at the end whatever happened, and the prefix removed.

    run_e2e.py --bus BUILD_DIR --dist DIST_DIR [--keep]

BUILD_DIR holds vktbus.sys, vktbus.inf and vkte2e.exe (the e2e build).
"""

import argparse
import filecmp
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_check  # noqa: E402
from trace_check import TraceError  # noqa: E402

SERVICE_RUNNING = 4
DRIVER_NAME = "\\Driver\\VKTDrv"

# Codes the driver reports, as the firmware sees them.
STATE_LOADED = 0x20
STATE_REMOVED = 0x22
STATE_WATCH_A = 0x2A
STATE_WATCH_B = 0x2B
SLEEP_WATCHDOG_SECONDS = 310

RUN_TIMEOUT = 120  # seconds, command 4
SHUTDOWN_TIMEOUT = 90  # seconds, command 4 (not the driver's default, 60)
OWN_STATE = 0x31  # a state code of the test's own, command 3
STATUS_VALUE = 0x5A  # what GSXS returns after the restart
EVENT_CODE = 0x40060001  # the code of every event-log entry of the driver
FAILURE = 0xC0000001  # STATUS_UNSUCCESSFUL, the failing method's answer


class StepFailed(Exception):
    def __init__(self, step, message):
        super().__init__(f"step '{step}': {message}")


class Prefix:
    """A Wine prefix of its own, and the commands run in it."""

    def __init__(self, root):
        self.root = root
        self.path = os.path.join(root, "prefix")
        self.log = os.path.join(root, "wine.log")
        self.env = dict(os.environ)
        self.env.update(
            WINEPREFIX=self.path,
            # Wine's own messages, for a look at a failure: VKT_E2E_WINEDEBUG
            # (for example "+plugplay") goes to wine.log in the kept folder.
            WINEDEBUG=os.environ.get("VKT_E2E_WINEDEBUG", "-all"),
            # No Mono or Gecko installer dialogs: no window is ever shown.
            WINEDLLOVERRIDES="mscoree,mshtml=",
            DISPLAY="",
        )
        self.drive = os.path.join(self.path, "drive_c")
        self.holder = None

    def run(self, step, arguments, timeout):
        """Runs a Wine command; returns its output. The standard streams go to
        files: services the command starts inherit them and outlive it."""
        with tempfile.TemporaryFile(dir=self.root) as output, open(self.log, "ab") as log:
            try:
                result = subprocess.run(
                    ["wine", *arguments],
                    stdin=subprocess.DEVNULL,
                    stdout=output,
                    stderr=log,
                    env=self.env,
                    timeout=timeout,
                    check=False,
                )
            except subprocess.TimeoutExpired:
                raise StepFailed(step, f"'{' '.join(arguments)}' hung for {timeout} s") from None
            output.seek(0)
            text = output.read().decode("utf-8", "replace").replace("\r\n", "\n")
        if result.returncode != 0:
            raise StepFailed(
                step, f"'{' '.join(arguments)}' failed ({result.returncode}): {text.strip()}"
            )
        return text

    def tool(self, step, *arguments, timeout=30):
        return self.run(step, ["C:\\vkt-e2e\\bus\\vkte2e.exe", *arguments], timeout)

    def vktctl(self, step, *arguments, exit_status=0):
        """Runs the real vktctl.exe; returns what it printed (both streams),
        which must come with `exit_status`."""
        command = ["wine", "C:\\vkt-e2e\\bin\\vktctl.exe", *arguments]
        try:
            result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                                    env=self.env, timeout=30, check=False)
        except subprocess.TimeoutExpired:
            raise StepFailed(step, f"vktctl {' '.join(arguments)} hung for 30 s") from None
        text = (result.stdout + result.stderr).decode("utf-8", "replace").replace("\r\n", "\n")
        if result.returncode != exit_status:
            raise StepFailed(step, f"vktctl {' '.join(arguments)} exited with {result.returncode}, "
                                   f"expected {exit_status}: {text.strip()}")
        return text.strip()

    def hold(self):
        """Keeps a program running in the prefix: Wine stops the services and
        drivers of a prefix some seconds after its last program exits."""
        with open(self.log, "ab") as log:
            self.holder = subprocess.Popen(
                ["wine", "C:\\vkt-e2e\\bus\\vkte2e.exe", "hold"],
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=log,
                env=self.env,
            )

    def stop(self):
        """Stops every process of the prefix and waits for its server."""
        for arguments in (["-k"], ["-w"]):
            try:
                subprocess.run(
                    ["wineserver", *arguments],
                    env=self.env,
                    stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL,
                    stderr=subprocess.DEVNULL,
                    timeout=20,
                    check=False,
                )
            except subprocess.TimeoutExpired:
                raise StepFailed("stop the prefix", "wineserver did not stop in 20 s") from None
        if self.holder is not None:
            try:
                self.holder.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.holder.kill()
                self.holder.wait()
            self.holder = None

    def boot(self, step, timeout=90):
        self.run(step, ["wineboot"] + ([] if os.path.isdir(self.drive) else ["-i"]), timeout)

    def restart(self, step):
        """Stops and boots the prefix again, as a restart of the system: Wine 8
        starts the drivers of newly installed devices when it enumerates
        devices, at boot."""
        self.stop()
        self.boot(step)
        self.hold()

    def trace(self):
        path = os.path.join(self.drive, "vkt-e2e", "trace.txt")
        if not os.path.exists(path):
            return []
        with open(path, encoding="ascii", errors="replace") as stream:
            return trace_check.parse(stream.read())


def wait_for(step, what, probe, timeout, interval=0.5):
    """Calls probe until it returns true; fails the step after `timeout`
    seconds."""
    deadline = time.monotonic() + timeout
    while not probe():
        if time.monotonic() > deadline:
            raise StepFailed(step, f"no {what} within {timeout} s")
        time.sleep(interval)


def query(prefix, step):
    """The bus's view of its child: present, started, evaluations, function."""
    fields = dict(item.split("=", 1) for item in prefix.tool(step, "query").split())
    return fields


def running(prefix, step, name):
    """Whether the service `name` runs."""
    text = prefix.tool(step, "service", name).strip()
    return text == f"state={SERVICE_RUNNING}"


def command(prefix, step, hex_record, names=None):
    """Sends a command record through the bus from kernel mode; returns
    (status, output bytes)."""
    arguments = ["command", hex_record] + ([names] if names else [])
    fields = dict(item.split("=", 1) for item in prefix.tool(step, *arguments).split())
    return int(fields["status"], 16), bytes.fromhex(fields["output"])


def expect_status(step, what, status, wanted=0):
    if status != wanted:
        raise StepFailed(step, f"{what} completed with 0x{status:08X}, expected 0x{wanted:08X}")


def expect_text(step, what, text, wanted):
    if wanted not in text:
        raise StepFailed(step, f"{what} printed {text!r}, expected {wanted!r} in it")


def checked(step, check, *arguments):
    try:
        return check(*arguments)
    except TraceError as error:
        raise StepFailed(step, str(error)) from None


def registry_value(prefix, step, key, name):
    """A value of the prefix's registry, as text ("reg query" prints each as
    name, type and data)."""
    text = prefix.run(step, ["reg", "query", key, "/v", name], 30)
    for line in text.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0] == name:
            return parts[2].strip()
    raise StepFailed(step, f"no value {name} in {key}")


def models_for_wine(step, inf_text):
    """The INF with its models section also under the name Wine 8 looks for.
    Wine's installer ignores the target-OS part of a models decoration
    (NTamd64.10.0...16299) and looks for <models>.NTamd64 only; the copy
    adds that section, the same lines under the plain decoration, and
    changes nothing else."""
    manufacturer = re.search(r"^\[Manufacturer\]\s*\n[^=\n]*=\s*([^,\s]+)\s*,\s*(\S+)",
                             inf_text, re.MULTILINE | re.IGNORECASE)
    if manufacturer is None:
        raise StepFailed(step, "the INF has no decorated models section")
    models = f"{manufacturer.group(1)}.{manufacturer.group(2)}"
    section = re.search(r"^\[" + re.escape(models) + r"\][^\n]*\n((?:[^\[\n].*\n|\n)*)",
                        inf_text, re.MULTILINE)
    if section is None:
        raise StepFailed(step, f"the INF has no section [{models}]")
    return inf_text + f"\n[{manufacturer.group(1)}.NTamd64]\n" + section.group(1)


def prepare(prefix, bus_dir, dist_dir):
    step = "create the Wine prefix"
    prefix.boot(step)
    base = os.path.join(prefix.drive, "vkt-e2e")
    for folder, files in (
        ("bus", [os.path.join(bus_dir, n) for n in ("vktbus.sys", "vktbus.inf", "vkte2e.exe")]),
        ("pkg", [os.path.join(dist_dir, name) for name in ("VKTDrv.sys", "VKTDrv.inf")]),
        ("bin", [os.path.join(dist_dir, "vktctl.exe")]),
    ):
        os.makedirs(os.path.join(base, folder), exist_ok=True)
        for path in files:
            if not os.path.isfile(path):
                raise StepFailed(step, f"{path} is missing; build it first")
            shutil.copy(path, os.path.join(base, folder))
    inf = os.path.join(base, "pkg", "VKTDrv.inf")
    with open(inf, encoding="ascii", newline="") as stream:
        text = stream.read()
    with open(inf, "w", encoding="ascii", newline="") as stream:
        stream.write(models_for_wine(step, text))
    prefix.hold()


def install_bus(prefix):
    step = "install the test bus"
    prefix.tool(step, "install-bus", "C:\\vkt-e2e\\bus\\vktbus.inf")
    prefix.restart(step)
    wait_for(step, "running vktbus service", lambda: running(prefix, step, "vktbus"), 30)
    wait_for(step, "child on the bus", lambda: query(prefix, step)["present"] == "1", 20)
    prefix.tool(step, "mark", "install driver")


def install_driver(prefix, dist_dir):
    step = "install VKTDrv through its INF"
    prefix.tool(step, "install-driver", "C:\\vkt-e2e\\pkg\\VKTDrv.inf", timeout=60)
    prefix.restart(step)
    wait_for(step, "running VKTDrv service", lambda: running(prefix, step, "VKTDrv"), 30)
    wait_for(step, "start of the child", lambda: query(prefix, step)["started"] == "1", 20)

    step = "check the installation"
    # The INF runs the driver from the driver store (DIRID 13), which Wine 8
    # maps to system32\unknown: the copied file and the service's binary
    # must be the same file there, never one in system32\drivers.
    service = "HKLM\\System\\CurrentControlSet\\Services\\VKTDrv"
    image_path = registry_value(prefix, step, service, "ImagePath")
    folder, _, name = image_path.rpartition("\\")
    if name.lower() != "vktdrv.sys" or not folder.lower().endswith("\\system32\\unknown"):
        raise StepFailed(step, f"the service runs {image_path!r}, not the driver store's copy")
    installed = os.path.join(prefix.drive, "windows", "system32", "unknown", "VKTDrv.sys")
    built = os.path.join(dist_dir, "VKTDrv.sys")
    if not os.path.isfile(installed) or not filecmp.cmp(installed, built, shallow=False):
        raise StepFailed(step, "system32\\unknown\\VKTDrv.sys is not dist/VKTDrv.sys")
    if os.path.exists(os.path.join(prefix.drive, "windows", "system32", "drivers", "VKTDrv.sys")):
        raise StepFailed(step, "the install also put VKTDrv.sys into system32\\drivers")
    device = "HKLM\\System\\CurrentControlSet\\Enum\\ACPI\\VKT0001\\0"
    for name, wanted in (("HardwareID", "ACPI\\VKT0001"), ("Service", "VKTDrv")):
        value = registry_value(prefix, step, device, name)
        if value != wanted:
            raise StepFailed(step, f"{device} {name} is {value!r}, expected {wanted!r}")
    # Wine's installer ignores the event-log section of AddService, so the
    # event-log source is not looked for here.


def check_first_creation(prefix):
    step = "first creation"
    wait_for(
        step, f"device of {DRIVER_NAME} over the child",
        lambda: query(prefix, step)["function"] == DRIVER_NAME, 20)
    entries = prefix.trace()
    creation = checked(step, trace_check.section, entries, "install driver", "child started")
    checked(step, trace_check.expect_no_method, step, creation, "GSXS")
    checked(
        step, trace_check.expect_sequence, step, creation, [("CVKT", None), ("SSXS", STATE_LOADED)]
    )


def check_event_message(prefix):
    step = "the event viewer's text"
    # The image as the INF's event-log section names it: in the driver store.
    image = "C:\\windows\\system32\\unknown\\VKTDrv.sys"
    text = prefix.tool(step, "message", image, hex(EVENT_CODE), "System enter S3").strip()
    if text != "text=System enter S3":
        raise StepFailed(step, f"message 0x{EVENT_CODE:08X} reads {text!r}, "
                               "expected the insertion string 'System enter S3'")


def is_cycle_feed(entry):
    return (isinstance(entry, trace_check.Evaluation) and entry.method == "FVKT"
            and entry.argument in (STATE_WATCH_A, STATE_WATCH_B))


def not_cycle_feed(entries):
    """The entries without the supervision cycle's feeds in state A or B,
    which may fall between the evaluations of any later step."""
    return [entry for entry in entries if not is_cycle_feed(entry)]


def without_later_feeds(entries, count):
    """The entries of an entry into a supervised state: its `count`
    evaluations, without a feed of the cycle that fell in after them."""
    found = 0
    kept = []
    for entry in entries:
        if isinstance(entry, trace_check.Evaluation):
            found += 1
            if found > count and is_cycle_feed(entry):
                continue
        kept.append(entry)
    return kept


def vktctl_step(prefix, step, arguments, printed, evaluations, exit_status=0):
    """Runs one vktctl command between two markers, checks what it printed
    and what the firmware saw meanwhile."""
    prefix.tool(step, "mark", "vktctl " + " ".join(arguments))
    text = prefix.vktctl(step, *arguments, exit_status=exit_status)
    prefix.tool(step, "mark", "vktctl done")
    expect_text(step, "vktctl " + " ".join(arguments), text, printed)
    entries = trace_check.section(prefix.trace(), "vktctl " + " ".join(arguments), "vktctl done")
    entries = without_later_feeds(entries, len(evaluations))
    checked(step, trace_check.expect_sequence, step, entries, evaluations)


def arming(code, seconds):
    return [("SVKT", seconds), ("OVKT", None), ("FVKT", code)]


def run_commands(prefix):
    step = "vktctl against the driver"
    vktctl_step(prefix, step, ["status"], "firmware status 0xFF (255)", [])
    vktctl_step(prefix, step, ["nop"], "nop: the driver answered", [])
    vktctl_step(prefix, step, ["report", hex(OWN_STATE)], f"reported state 0x{OWN_STATE:02X}",
                [("SSXS", OWN_STATE)])
    # Under Wine the driver runs in a process of its own (winedevice.exe),
    # where the name list in vktctl's memory is not mapped: the list is set
    # from kernel memory through the bus, and vktctl's watch then reaches the
    # driver as a second list, which it refuses (0xC000000D, error 87).
    prefix.tool(step, "mark", "command 4")
    record = f"04{RUN_TIMEOUT:02x}{SHUTDOWN_TIMEOUT:02x}" + "00" * 21
    status, _ = command(prefix, step, record, "winedevice.exe,vkte2e.exe")
    expect_status(step, "command 4 from kernel mode", status)
    vktctl_step(prefix, step, ["watch", "--run", str(RUN_TIMEOUT), "--shutdown",
                               str(SHUTDOWN_TIMEOUT), "CorvynService.exe"],
                "vktctl: watch failed: error 87", [], exit_status=1)
    vktctl_step(prefix, step, ["enter", "a"], "entered supervised state A (0x2A)",
                [("SSXS", STATE_WATCH_A)] + arming(STATE_WATCH_A, RUN_TIMEOUT))
    prefix.tool(step, "mark", "commands sent")


def check_cycle(prefix, state):
    step = f"supervision cycle in state 0x{state:02X}"
    marker = f"cycle 0x{state:02X}"
    prefix.tool(step, "mark", marker)

    def fed():
        after = trace_check.section(prefix.trace(), marker)
        return any(e.method == "FVKT" for e in trace_check.evaluations(after))

    wait_for(step, "feed by the ten-second cycle", fed, 25, interval=1)
    entries = prefix.trace()
    started = trace_check.marker_time(entries, "child started")
    checked(step, trace_check.expect_cycle, step, trace_check.section(entries, marker),
            started, state)


def enter_state_b(prefix):
    vktctl_step(prefix, "command 6", ["enter", "b"], "entered supervised state B (0x2B)",
                [("SSXS", STATE_WATCH_B)] + arming(STATE_WATCH_B, RUN_TIMEOUT))
    check_cycle(prefix, STATE_WATCH_B)


def check_failing_method(prefix):
    step = "a failing method"
    prefix.tool(step, "configure", "0", "SSXS", hex(FAILURE))
    prefix.tool(step, "mark", "failing SSXS")
    text = prefix.vktctl(step, "report", hex(OWN_STATE), exit_status=1)
    prefix.tool(step, "configure", "0", "-", "0")
    prefix.tool(step, "mark", "failing done")
    # The client receives the system error code of the status: 31 for
    # STATUS_UNSUCCESSFUL.
    expect_text(step, "vktctl report with SSXS failing", text, "vktctl: report failed: error 31")
    entries = not_cycle_feed(prefix.trace())
    found = trace_check.evaluations(
        checked(step, trace_check.section, entries, "failing SSXS", "failing done")
    )
    if [(e.method, e.argument, e.status) for e in found] != [("SSXS", OWN_STATE, FAILURE)]:
        raise StepFailed(step, f"the firmware saw {found}; expected SSXS(0x{OWN_STATE:X}) failing")


# The power transitions sent: (name, system state, power action, target state
# in the context's bits 8 to 11, state code on entry, watchdog seconds, state
# code on wake).
POWER_TRANSITIONS = (
    ("S3", 4, 2, 0, 0x23, SLEEP_WATCHDOG_SECONDS, 0x27),
    ("hibernation", 5, 3, 5, 0x24, SLEEP_WATCHDOG_SECONDS, 0x28),
    ("hibernation to shutdown", 5, 3, 6, 0x25, SHUTDOWN_TIMEOUT, 0x2C),
    ("shutdown", 6, 4, 0, 0x26, SHUTDOWN_TIMEOUT, 0x29),
)


def check_power(prefix):
    for name, state, action, target, entered, seconds, woken in POWER_TRANSITIONS:
        step = f"entry into {name}"
        prefix.tool(step, "mark", name)
        fields = prefix.tool(step, "power", str(state), str(action), hex(target << 8)).split("=", 1)
        expect_status(step, f"the set-power request for {name}", int(fields[1], 16))
        prefix.tool(step, "mark", f"{name}: wake")
        fields = prefix.tool(step, "power", "1", "0", "0").split("=", 1)
        expect_status(step, f"the S0 set-power request after {name}", int(fields[1], 16))
        prefix.tool(step, "mark", f"{name}: awake")
        entries = not_cycle_feed(prefix.trace())
        checked(step, trace_check.expect_sequence, step,
                trace_check.section(entries, name, f"{name}: wake"),
                [("SSXS", entered), ("CVKT", None)] + arming(entered, seconds))
        checked(f"wake after {name}", trace_check.expect_sequence, f"wake after {name}",
                trace_check.section(entries, f"{name}: wake", f"{name}: awake"),
                [("SSXS", woken), ("CVKT", None)])


def restart(prefix):
    step = "restart of the prefix"
    key = "HKLM\\System\\CurrentControlSet\\Services\\vktbus\\Parameters"
    prefix.run(step, ["reg", "add", key, "/v", "StatusValue", "/t", "REG_DWORD", "/d",
                      str(STATUS_VALUE), "/f"], 30)
    before = len(prefix.trace())
    prefix.restart(step)
    wait_for(step, "running vktbus service after the restart",
             lambda: running(prefix, step, "vktbus"), 30)
    wait_for(step, "running VKTDrv service after the restart",
             lambda: running(prefix, step, "VKTDrv"), 30)
    wait_for(
        step,
        "start of the child after the restart",
        lambda: query(prefix, step)["started"] == "1",
        30,
    )
    step = "later creation"
    wait_for(step, f"device of {DRIVER_NAME} over the child",
             lambda: query(prefix, step)["function"] == DRIVER_NAME, 20)
    entries = prefix.trace()[before:]
    creation = checked(step, trace_check.section, [trace_check.Marker(0, "restart")] + entries,
                       "restart", "child started")
    checked(step, trace_check.expect_sequence, step, creation,
            [("GSXS", None), ("CVKT", None), ("SSXS", STATE_LOADED)])
    vktctl_step(prefix, step, ["status"], f"firmware status 0x{STATUS_VALUE:02X} ({STATUS_VALUE})",
                [])


def remove(prefix):
    step = "removal"
    prefix.tool(step, "mark", "unplug")
    prefix.tool(step, "unplug")

    def removed():
        return any(isinstance(e, trace_check.Marker) and e.text == "child removed"
                   for e in trace_check.section(prefix.trace(), "unplug"))

    wait_for(step, "removal of the child", removed, 20)
    entries = prefix.trace()
    checked(step, trace_check.expect_sequence, step,
            trace_check.section(entries, "unplug", "child removed"),
            [("CVKT", None), ("SSXS", STATE_REMOVED)])


def timed(name, routine, *arguments):
    """Runs one phase of the run and prints how long it took."""
    started = time.monotonic()
    routine(*arguments)
    print(f"  {name}: {time.monotonic() - started:.1f} s", flush=True)


def run(prefix, bus_dir, dist_dir):
    timed("fresh prefix", prepare, prefix, bus_dir, dist_dir)
    timed("test bus installed", install_bus, prefix)
    timed("VKTDrv installed and loaded", install_driver, prefix, dist_dir)
    timed("first creation", check_first_creation, prefix)
    timed("the event viewer's text", check_event_message, prefix)
    timed("vktctl commands", run_commands, prefix)
    timed("supervision cycle", check_cycle, prefix, STATE_WATCH_A)
    timed("command 6 and its cycle", enter_state_b, prefix)
    timed("failing method", check_failing_method, prefix)
    timed("sleep, hibernation, shutdown and wake", check_power, prefix)
    timed("restart and later creation", restart, prefix)
    timed("removal", remove, prefix)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n", 1)[0])
    parser.add_argument("--bus", required=True, help="folder of vktbus.sys, vktbus.inf, vkte2e.exe")
    parser.add_argument("--dist", required=True, help="folder of VKTDrv.sys and VKTDrv.inf")
    parser.add_argument("--keep", action="store_true", help="keep the prefix and its log")
    args = parser.parse_args(argv)
    for program in ("wine", "wineserver"):
        if shutil.which(program) is None:
            print(f"FAIL: {program} not found (Debian packages wine64 and wine)")
            return 1
    # A run stopped from outside (ctest's time limit) still stops the prefix.
    def stopped(number, frame):
        raise StepFailed("the run", f"stopped by signal {number}")

    signal.signal(signal.SIGTERM, stopped)
    signal.signal(signal.SIGINT, stopped)
    started = time.monotonic()
    root = tempfile.mkdtemp(prefix="vkt-e2e-")
    prefix = Prefix(root)
    outcome = 0
    try:
        run(prefix, os.path.abspath(args.bus), os.path.abspath(args.dist))
    except StepFailed as failure:
        print(f"FAIL: {failure}")
        print("trace:")
        for entry in prefix.trace():
            print(f"  {entry.time:>8} {entry!r}")
        outcome = 1
    finally:
        try:
            prefix.stop()
        except StepFailed as failure:
            print(f"FAIL: {failure}")
            outcome = 1
        if args.keep or outcome:
            print(f"prefix and Wine log kept in {root}")
        else:
            shutil.rmtree(root, ignore_errors=True)
    if outcome == 0:
        print(f"OK: end to end under Wine in {time.monotonic() - started:.1f} s")
    return outcome


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
