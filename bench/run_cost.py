#!/usr/bin/env python3
"""What one run of quillmark.exe costs, next to the floors it cannot go below.

  bench/run_cost.py [--build BUILD] [--runs N] [--compare EXE]... [--trace DIR] [--keep]

Times whole processes under Wine, in one sitting, the programs alternating
run by run (each round starts with the next program, so none always follows
the same one):

  empty      an empty 32-bit program: the floor of starting any process
  sdk-floor  the system DLLs quillmark.exe imports, COM, and one object of the
             SDK stand-in created through an activation context: the floor of
             talking to the SDK at all
  changed    quillmark.exe /TestMode where every run is sent: the value store
             refuses the hash (reading and writing it fail), so nothing is kept
  unchanged  quillmark.exe /TestMode on the default scenario after its first
             run: the profile is the one kept, nothing is sent

and prints, for each, the median over N runs (default 15) of the wall time,
the CPU time of the process, the CPU time the prefix's wineserver spent
meanwhile, and the peak resident memory; then the ratios of both courses to
the two floors and the targets.

The images are measured stripped, as they ship: the script installs the
default scenario of the simulated agent, strips the installed copies of
quillmark.exe and the stand-in DLLs in the agent folder, and puts stripped
copies of the two floor programs there too (the SDK floor needs the SDK's
manifests beside it). Every program is started by Wine's loader directly,
from the agent folder, with the prefix's wineserver kept running; output goes
to a file. At the end the installation is removed again.

--compare EXE adds another build of quillmark.exe (stripped the same way) on
the changed course, so that the effect of a change is measured in the same
sitting. --trace DIR also runs the changed course once with the program's
trace file controller and Wine's timestamps of module loads, leaves both in
DIR and prints the gaps between trace messages. Not a test: the figures go in
docs/benchmarks.md.
"""

import argparse
import datetime
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
WINE_LOADER = "/usr/lib/wine/wine"
TIME = "/usr/bin/time"
STRIP = "i686-w64-mingw32-strip"
MIB = 1024.0 * 1024.0

# Targets of the changed course, medians of one sitting.
MAX_WALL_TO_EMPTY = 2.2
MAX_WALL_TO_FLOOR = 1.3
MAX_EXTRA_PEAK_MIB = 6.0

# The installed files that a run of quillmark.exe loads: the program and the
# DLLs of the stand-ins.
LOADED_IMAGES = ("quillmark.exe", "OmxApi.dll", "linkbridge.dll", "Util_SettingsHub.dll")
FLOOR_PROGRAMS = (("empty", "bench_empty_program.exe"), ("sdk-floor", "bench_sdk_floor.exe"))

SENT = "JSON del perfilado subido."
NOT_SENT = "No han cambiado los datos del perfilado."

# Reading the kept hash and writing it both fail: the profile is always new.
REFUSED_HASH = {"0x4009501": {"get": "E_FAIL", "set": "E_FAIL"}}


def windows_path(linux_path):
    return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


def linux_path(prefix, win_path):
    drive, rest = win_path[0].lower(), win_path[2:].replace("\\", "/").lstrip("/")
    return os.path.join(prefix, "drive_" + drive, rest)


def wine_environment(prefix, extra=None):
    env = dict(os.environ)
    env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all", "LC_ALL": "C",
                "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d"})
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "QUILLMARK_TRACE"):
        env.pop(name, None)
    env.update(extra or {})
    return env


def run_tool(build, program, args):
    """A Windows program run through the project's wrapper (prefix made, server up)."""
    command = [os.path.join(ROOT, "tools", "wine-run.sh"), os.path.join(build, "wineprefix"), program] + args
    with tempfile.TemporaryFile() as output:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT).returncode
        output.seek(0)
        return code, output.read().decode("utf-8", errors="replace")


def wineserver_pid(prefix):
    """The prefix's running wineserver, whose CPU time serves the runs too."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/comm" % entry) as f:
                if not f.read().startswith("wineserver"):
                    continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if ("WINEPREFIX=" + prefix).encode() in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def process_cpu_seconds(pid):
    if pid is None:
        return 0.0
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Program:
    def __init__(self, name, exe, args=(), before=None, marker_line=None):
        self.name, self.exe, self.args, self.before = name, exe, list(args), before
        self.marker_line = marker_line  # a line every run of a course must leave in its marker
        self.wall, self.cpu, self.server_cpu, self.peak = [], [], [], []


def run_once(program, agent, prefix, server, output_path, extra_env=None):
    """Starts one process; returns (exit code, wall s, CPU s, server CPU s, peak bytes)."""
    if program.before:
        program.before()
    env = wine_environment(prefix, extra_env)
    peak_path = output_path + ".peak"
    server_before = process_cpu_seconds(server)
    with open(output_path, "wb") as output:
        start = time.perf_counter()
        # GNU time stands between: a child forked from this interpreter would
        # carry the interpreter's resident size into its peak when it execs
        # Wine, a child of the small time program carries almost nothing.
        child = subprocess.Popen([TIME, "-f", "%M", "-o", peak_path, WINE_LOADER, program.exe] + program.args,
                                 cwd=agent, env=env, stdin=subprocess.DEVNULL, stdout=output,
                                 stderr=subprocess.STDOUT)
        # The rusage of time holds that of the Wine process it waited for.
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
    server_cpu = process_cpu_seconds(server) - server_before
    with open(peak_path) as f:
        peak_kib = int(f.read().split()[-1])
    os.remove(peak_path)
    return (os.waitstatus_to_exitcode(status), wall, usage.ru_utime + usage.ru_stime, server_cpu, peak_kib * 1024)


def strip_copy(source, target):
    subprocess.run([STRIP, "-o", target, source], check=True)


def has_debug_info(path):
    headers = subprocess.run(["i686-w64-mingw32-objdump", "-h", path], capture_output=True, text=True).stdout
    return ".debug_" in headers


def imported_dlls(path):
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", path], capture_output=True, text=True).stdout
    return {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}


def floor_import_difference(build):
    """What quillmark.exe imports and the SDK floor does not, or the reverse:
    the floor stands for the program only while the two sets agree."""
    program = imported_dlls(os.path.join(build, "src", "quillmark.exe"))
    floor = imported_dlls(os.path.join(build, "bench", "bench_sdk_floor.exe"))
    return sorted(program - floor), sorted(floor - program)


def prepare(args):
    prefix = os.path.join(args.build, "wineprefix")
    simagent = os.path.join(args.build, "agent", "bin", "simagent.exe")
    code, text = run_tool(args.build, simagent, ["install", windows_path(args.scenario)])
    if code != 0:
        sys.exit("simagent install failed (%d):\n%s" % (code, text))
    record_path = linux_path(prefix, "C:\\ProgramData\\Quillmark SimAgent\\installation.json")
    with open(record_path, encoding="utf-8") as f:
        record = json.load(f)
    agent = linux_path(prefix, record["agentFolder"])

    stripped = []
    for name in LOADED_IMAGES:
        path = os.path.join(agent, name)
        if os.path.exists(path) and has_debug_info(path):
            strip_copy(path, path + ".stripped")
            os.replace(path + ".stripped", path)
            stripped.append(name)
    for _, exe in FLOOR_PROGRAMS:
        strip_copy(os.path.join(args.build, "bench", exe), os.path.join(agent, exe))
    return prefix, agent, record["agentFolder"], stripped, simagent


def scenario_switchers(agent):
    """Writers of the installed scenario that the SDK stand-in reads at each
    root creation: as installed, and with the kept hash refused."""
    path = os.path.join(agent, "SimAgent", "scenario.json")
    with open(path, "rb") as f:
        as_installed = f.read()
    scenario = json.loads(as_installed.decode("utf-8"))
    scenario.setdefault("sdk", {}).setdefault("stateFaults", {}).update(REFUSED_HASH)
    refusing = json.dumps(scenario).encode("utf-8")

    def writer(content):
        def write():
            with open(path, "wb") as f:
                f.write(content)
        return write
    return writer(as_installed), writer(refusing)


def marker(agent):
    for name in ("TestQuillmark_OK.log", "TestQuillmark_ERROR.log"):
        path = os.path.join(agent, name)
        if os.path.exists(path):
            with open(path, "rb") as f:
                return name, f.read().decode("cp1252", errors="replace").strip("\r\n").splitlines()
    return None, []


def check_outcome(program, agent, code, expected_line):
    """A run must exit with 0 and, for a course, leave the line that shows it
    went the course's way; a run that went another way measures nothing."""
    name, lines = marker(agent)
    if code != 0 or (expected_line is not None and expected_line not in lines):
        sys.exit("%s: exit code %d, marker %s: %s (expected the line %r)"
                 % (program.name, code, name, lines, expected_line))


def median(values):
    return statistics.median(values) if values else float("nan")


def paired(course, base):
    return median([a / b for a, b in zip(course.wall, base.wall)])


def report(programs, runs, stripped):
    print("\n%d runs each (wall = start to exit as this script sees it; CPU = the Wine process's own;"
          " server = the prefix's wineserver meanwhile, mean, 10 ms ticks; peak = the process's peak"
          " resident memory)" % runs)
    print("%-10s %10s %8s %10s %10s %10s" % ("program", "wall med", "wall min", "CPU med", "server ms",
                                             "peak MiB"))
    for p in programs:
        print("%-10s %7.1f ms %5.1f ms %7.1f ms %10.1f %10.2f" % (
            p.name, median(p.wall) * 1e3, min(p.wall) * 1e3, median(p.cpu) * 1e3,
            statistics.mean(p.server_cpu) * 1e3, median(p.peak) / MIB))
    by_name = {p.name: p for p in programs}
    empty, floor = by_name["empty"], by_name["sdk-floor"]
    print()
    for course in (by_name["changed"], by_name["unchanged"]):
        wall = median(course.wall)
        print("%-10s wall %.2fx empty, %.2fx sdk-floor (best runs: %.2fx, %.2fx); CPU %.2fx empty,"
              " %.2fx sdk-floor; peak %+.2f MiB over empty, %+.2f over sdk-floor"
              % (course.name, wall / median(empty.wall), wall / median(floor.wall),
                 min(course.wall) / min(empty.wall), min(course.wall) / min(floor.wall),
                 median(course.cpu) / median(empty.cpu), median(course.cpu) / median(floor.cpu),
                 (median(course.peak) - median(empty.peak)) / MIB,
                 (median(course.peak) - median(floor.peak)) / MIB))
    # Programs of one round run within a second or so: the ratio inside each
    # round cancels most of the load that other work on the machine adds.
    print()
    for course in [by_name["changed"], by_name["unchanged"]] + [p for p in programs if p.name.startswith("changed:")]:
        print("%-10s median of per-round wall ratios: %.2fx empty, %.2fx sdk-floor, %.3fx changed"
              % (course.name, paired(course, empty), paired(course, floor), paired(course, by_name["changed"])))
    changed = by_name["changed"]
    checks = [
        ("changed wall <= %.1fx empty" % MAX_WALL_TO_EMPTY,
         median(changed.wall) <= MAX_WALL_TO_EMPTY * median(empty.wall)),
        ("changed wall <= %.1fx sdk-floor" % MAX_WALL_TO_FLOOR,
         median(changed.wall) <= MAX_WALL_TO_FLOOR * median(floor.wall)),
        ("changed peak <= empty + %.0f MiB" % MAX_EXTRA_PEAK_MIB,
         median(changed.peak) <= median(empty.peak) + MAX_EXTRA_PEAK_MIB * MIB),
    ]
    print()
    for label, met in checks:
        print("target %-32s %s" % (label, "met" if met else "NOT MET"))
    for p in programs:
        if p.name.startswith("changed:"):
            print("compared build %s on the changed course: wall %.3fx this build's (best runs %.3fx),"
                  " CPU %.3fx" % (p.name, median(p.wall) / median(changed.wall),
                                  min(p.wall) / min(changed.wall), median(p.cpu) / median(changed.cpu)))
    print("images stripped by this script: " + (", ".join(stripped) if stripped else "none (already stripped)"))


def trace_timeline(trace_path):
    """The program's trace messages with the time since the first one and the
    gap before each: where a run spends what the floors do not."""
    messages = []
    with open(trace_path, encoding="utf-8") as f:
        for line in f:
            message = json.loads(line)
            stamp = datetime.datetime.fromisoformat(message["time"].replace("Z", "+00:00")).timestamp()
            messages.append((stamp, "%s %d" % (message["source"], message["number"])))
    return [(stamp - messages[0][0], stamp - (messages[k - 1][0] if k else stamp), name)
            for k, (stamp, name) in enumerate(messages)]


def trace_one_run(changed, agent, prefix, server, out):
    """The changed course once, with the program's trace file controller and
    Wine's own timestamps of module loads and unloads."""
    os.makedirs(out, exist_ok=True)
    trace = os.path.join(out, "trace.jsonl")
    wine_log = os.path.join(out, "wine-loaddll.txt")
    for path in (trace, wine_log):
        if os.path.exists(path):
            os.remove(path)
    extra = {"QUILLMARK_TRACE": "5,0x1F," + windows_path(trace), "WINEDEBUG": "+timestamp,+loaddll"}
    code, wall, *_ = run_once(changed, agent, prefix, server, wine_log, extra)
    decoded = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "trace-decode.py"), trace],
                             capture_output=True, text=True).stdout
    with open(os.path.join(out, "trace.txt"), "w", encoding="utf-8") as f:
        f.write(decoded)
    print("\ntraced changed course: exit code %d, %.0f ms (tracing included); the decoded trace is %s,"
          " Wine's module loads (seconds since its start) %s" % (code, wall * 1e3,
                                                                os.path.join(out, "trace.txt"), wine_log))
    print("gaps of 1 ms or more before a trace message (ms since the first message, gap, message):")
    for since, gap, name in trace_timeline(trace):
        if gap >= 0.001:
            print("  %6.1f %6.1f  %s" % (since * 1e3, gap * 1e3, name))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.environ.get("QUILLMARK_BUILD_DIR", os.path.join(ROOT, "build")))
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--scenario", default=os.path.join(ROOT, "agent", "scenarios", "default.json"))
    parser.add_argument("--trace", metavar="DIR")
    parser.add_argument("--keep", action="store_true", help="leave the installation in the prefix")
    parser.add_argument("--compare", metavar="EXE", action="append", default=[],
                        help="another build of quillmark.exe to time on the changed course in the same"
                             " sitting (e.g. the build before a change); may be repeated")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    only_program, only_floor = floor_import_difference(args.build)
    if only_program or only_floor:
        print("warning: the SDK floor no longer imports what quillmark.exe imports (only the program: %s;"
              " only the floor: %s); add a call into each to bench/sdk_floor.cpp"
              % (", ".join(only_program) or "none", ", ".join(only_floor) or "none"))
    prefix, agent, agent_win, stripped, simagent = prepare(args)
    server = wineserver_pid(prefix)
    as_installed, refusing = scenario_switchers(agent)
    programs = [
        Program("empty", agent_win + "\\bench_empty_program.exe"),
        Program("sdk-floor", agent_win + "\\bench_sdk_floor.exe"),
        Program("changed", agent_win + "\\quillmark.exe", ["/TestMode"], refusing, SENT),
        Program("unchanged", agent_win + "\\quillmark.exe", ["/TestMode"], as_installed, NOT_SENT),
    ]
    for number, exe in enumerate(args.compare, 1):
        name = "compare%d.exe" % number
        strip_copy(exe, os.path.join(agent, name))
        programs.append(Program("changed:%d" % number, agent_win + "\\" + name, ["/TestMode"], refusing, SENT))
    by_name = {p.name: p for p in programs}
    scratch = tempfile.mkdtemp(prefix="run_cost.")
    try:
        # The first run of the default scenario keeps its profile; after it
        # the unchanged course sends nothing and the changed one always sends.
        first = Program("first", agent_win + "\\quillmark.exe", ["/TestMode"], as_installed, SENT)
        for p in (first, by_name["unchanged"], by_name["changed"]):
            code, *_ = run_once(p, agent, prefix, server, os.path.join(scratch, "check.txt"))
            check_outcome(p, agent, code, p.marker_line)
        # Warm the file cache and the server for every program once.
        for p in programs:
            run_once(p, agent, prefix, server, os.path.join(scratch, "warm.txt"))

        for round_number in range(args.runs):
            start = round_number % len(programs)
            for p in programs[start:] + programs[:start]:
                code, wall, cpu, server_cpu, peak = run_once(p, agent, prefix, server,
                                                             os.path.join(scratch, "output.txt"))
                check_outcome(p, agent, code, p.marker_line)
                p.wall.append(wall)
                p.cpu.append(cpu)
                p.server_cpu.append(server_cpu)
                p.peak.append(peak)
            print("round %d/%d done" % (round_number + 1, args.runs), file=sys.stderr)
        report(programs, args.runs, stripped)
        if args.trace:
            trace_one_run(by_name["changed"], agent, prefix, server, os.path.abspath(args.trace))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        as_installed()
        if not args.keep:
            run_tool(args.build, simagent, ["remove"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
