#!/usr/bin/env python3
"""Runs quillmark.exe against a scenario of the simulated agent and reports.

  run_demo.py --build BUILD_DIR [--scenario FILE] [--runs N] [--out DIR]

Installs the scenario into the build's Wine prefix (simagent.exe install), runs
the program N times as runs 1..N of the scenario (`simagent.exe run <n>`: that
run's stand-in answers, command line, environment and start folder), and after
each run prints a report and leaves it (report.txt) with its material in
DIR/run-<n>/ (layout in docs/simulated-agent.md). Exit status: 0 when every
step of the runner worked and every run ended with 0 or -1; 3 when a run ended
with any other exit code (a crash); 1 when the runner itself failed.
"""

import argparse
import binascii
import contextlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tools"))
import demo_report as report  # noqa: E402
import trace_catalog as tc  # noqa: E402

MARKERS = ("TestQuillmark_OK.log", "TestQuillmark_ERROR.log")
RUN_LINE = re.compile(r"^simagent: run \d+: exit code (-?\d+), (\d+) ms\r?$", re.M)
DIAGNOSTICS = os.path.join(ROOT, "src", "diagnostics")


class Tee:
    """Standard output that also goes into a run's report.txt."""

    def __init__(self, *streams):
        self.streams = streams

    def write(self, text):
        for stream in self.streams:
            stream.write(text)

    def flush(self):
        for stream in self.streams:
            stream.flush()


def windows_path(linux_path):
    return "Z:" + os.path.abspath(linux_path).replace("/", "\\")


def linux_path(prefix, win_path):
    """C:\\a\\b inside the prefix, Z:\\x on the host."""
    drive, rest = win_path[0].lower(), win_path[2:].replace("\\", "/").lstrip("/")
    if drive == "z":
        return "/" + rest
    return os.path.join(prefix, "drive_" + drive, rest)


def wine(build, program, args, cwd=None, env=None):
    """Runs a Windows program; its output goes through a file, because a
    process it starts (the main process stand-in) would hold a pipe open."""
    command = [os.path.join(ROOT, "tools", "wine-run.sh"), os.path.join(build, "wineprefix"), program] + args
    with tempfile.TemporaryFile() as output:
        code = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=output,
                              stderr=subprocess.STDOUT).returncode
        output.seek(0)
        text = output.read().decode("utf-8", errors="replace")
    return subprocess.CompletedProcess(command, code, text, "")


def queue_files(queue_root):
    found = set()
    for folder, _, names in os.walk(queue_root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), queue_root))
    return found


def section(title):
    print("\n  -- " + title)


def indent(text, by="     "):
    return "\n".join(by + line for line in text.split("\n"))


# The ANSI code page a run's locale gives the program, which writes its data
# file in it; the bench's own is 1252.
CODE_PAGES = {"ja-JP": "cp932", "ru-RU": "cp1251"}


def report_document(raw, code_page="cp1252"):
    """Prints a delivered document, written in `code_page`; returns it parsed
    (None when it is not JSON)."""
    crc = binascii.crc32(raw) & 0xFFFFFFFF
    print("     size %d bytes, CRC-32 of the raw bytes 0x%08X" % (len(raw), crc))
    try:
        document = json.loads(raw.decode(code_page))
        print(indent(json.dumps(document, indent=2, ensure_ascii=False)))
        return document
    except (ValueError, UnicodeDecodeError) as error:
        print("     (not valid JSON: %s)" % error)
        print(indent(raw.decode(code_page, errors="replace")))
        return None


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def kept_before(sim, record, number):
    """The value store as the run finds it: state.json once something was
    written, otherwise the preset of this run's scenario (labelled)."""
    raw = read_bytes(os.path.join(sim, "state.json"))
    if raw is not None:
        try:
            return json.loads(raw), "SimAgent\\state.json"
        except ValueError:
            return None, "SimAgent\\state.json (unreadable)"
    runs = record.get("runs") or [{}]
    run_file = os.path.join(sim, "runs", "run-%d.json" % min(number, len(runs)))
    try:
        with open(run_file, encoding="utf-8") as f:
            preset = json.load(f).get("sdk", {}).get("state")
    except (OSError, ValueError, AttributeError):
        preset = None
    return (preset, "preset by the scenario's sdk.state") if preset else (None, "nothing kept")


def marker_folders(record, agent_win, number):
    runs = record.get("runs") or [{}]
    start = runs[min(number, len(runs)) - 1].get("startFolder") or agent_win
    folders = [agent_win]
    if start.lower() != agent_win.lower():
        folders.insert(0, start)
    return folders


def marker_times(prefix, folders):
    times = {}
    for folder in folders:
        for name in MARKERS:
            path = os.path.join(linux_path(prefix, folder), name)
            if os.path.exists(path):
                times[path] = os.stat(path).st_mtime_ns
    return times


def decode_traces(traces, catalog):
    return ["(unreadable line) " + record["unreadable"] if "unreadable" in record
            else tc.record_line(catalog, record) for record in traces]


def load_json(raw):
    try:
        return json.loads(raw) if raw is not None else None
    except ValueError:
        return None


class Run:
    """One run of the scenario: where its material goes and what the agent held before it."""

    def __init__(self, args, record, number, out):
        self.args, self.record, self.number = args, record, number
        self.prefix = os.path.join(args.build, "wineprefix")
        self.agent_win = record["agentFolder"]
        self.sim = os.path.join(linux_path(self.prefix, self.agent_win), "SimAgent")
        self.dir = os.path.join(out, "run-%d" % number)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        runs = record.get("runs") or [{}]
        self.arguments = runs[min(number, len(runs)) - 1].get("commandLine", [])
        self.locale = runs[min(number, len(runs)) - 1].get("locale")
        self.comms_before = len(report.read_json_lines(self.sim_file("comms.jsonl")))
        self.sdk_before = len(report.read_json_lines(self.sim_file("sdk.jsonl")))
        self.settings_before = len(report.read_json_lines(self.sim_file("settings.jsonl")))
        self.queue_before = queue_files(self.sim_file("queue"))
        self.state_raw_before = read_bytes(self.sim_file("state.json"))
        self.state_before, self.state_source = kept_before(self.sim, record, number)
        self.folders = marker_folders(record, self.agent_win, number)
        self.markers_before = marker_times(self.prefix, self.folders)

    def sim_file(self, name):
        return os.path.join(self.sim, name)

    def write(self, name, lines):
        with open(os.path.join(self.dir, name), "w", encoding="utf-8") as f:
            f.write("".join(line + "\n" for line in lines))


def start_program(run):
    """Runs the program as this run of the scenario; (exit code, milliseconds) or None."""
    env = dict(os.environ)
    env["QUILLMARK_TRACE"] = "5,0x1F," + windows_path(os.path.join(run.dir, "trace.jsonl"))
    # The program keeps the code page simagent starts under, which Wine takes
    # from the Unix locale: the run's locale is chosen here, not inside Windows.
    if run.locale:
        env["QUILLMARK_LOCALE"] = run.locale.replace("-", "_") + ".UTF-8"
    simagent = os.path.join(run.args.build, "agent", "bin", "simagent.exe")
    result = wine(run.args.build, simagent, ["run", str(run.number)], env=env)
    found = RUN_LINE.findall(result.stdout)
    console = RUN_LINE.sub("", result.stdout).strip("\n")
    run.write("console.txt", [console] if console else [])
    if not found:
        print("\n=== Run %d: the program was not started:\n%s" % (run.number, indent(result.stdout.strip())))
        return None
    code, milliseconds = int(found[-1][0]), int(found[-1][1])
    run.write("exit-code.txt", ["%d" % code])
    run.write("command.txt", [" ".join(["quillmark.exe"] + run.arguments)])
    return code, milliseconds


def report_markers(run):
    section("test-mode markers")
    marker_dir = os.path.join(run.dir, "markers")
    any_marker = False
    for folder in run.folders:
        for name in MARKERS:
            path = os.path.join(linux_path(run.prefix, folder), name)
            if not os.path.exists(path):
                continue
            any_marker = True
            old = run.markers_before.get(path) == os.stat(path).st_mtime_ns
            target = os.path.join(marker_dir, name if folder == run.agent_win else "start-folder-" + name)
            os.makedirs(marker_dir, exist_ok=True)
            shutil.copy(path, target)
            with open(path, "rb") as f:
                print("     %s\\%s%s:" % (folder, name, " (left by an earlier run)" if old else ""))
                print(indent(f.read().decode("cp1252", errors="replace").strip("\r\n"), "       "))
    if not any_marker:
        print("     none in " + " or ".join(run.folders))


def report_delivery(run, new_files, verdict, earlier):
    """The delivered documents and, in changes.txt, what changed since the last delivery."""
    section("uploaded document")
    if not new_files:
        print("     nothing was delivered" + (", although Send answered true"
                                              if verdict.startswith("sent") else ""))
    documents = []
    for name in new_files:
        target = os.path.join(run.dir, "delivered", name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(os.path.join(run.sim, "queue", name), target)
        print("     queue\\" + name.replace("/", "\\"))
        with open(target, "rb") as f:
            documents.append(report_document(f.read(), CODE_PAGES.get(run.locale, "cp1252")))

    section("changed since the last delivered document")
    if not (verdict.startswith("sent") and documents):
        changes = ["nothing was delivered in this run"]
    elif documents[-1] is None:
        changes = ["the delivered document is not JSON: nothing to compare"]
    elif earlier.get("document") is None:
        changes = ["first delivery of this demo call"]
    else:
        changes = report.member_diff(earlier["document"], documents[-1]) or ["no member changed"]
    if documents and documents[-1] is not None:
        earlier["document"] = documents[-1]
    run.write("changes.txt", changes)
    print(indent("\n".join(changes)))


def report_kept_values(run, traces):
    section("kept values")
    state_raw_after = read_bytes(run.sim_file("state.json"))
    decided = [t for t in traces if t.get("source") == "RunDriver" and t.get("number") in (18, 19)]
    now = report.time_of(decided[-1]) if decided else None
    source = "" if run.state_before is None else " (%s)" % run.state_source
    print("     before the run: %s%s" % (report.kept_text(run.state_before, now), source))
    if state_raw_after is not None and state_raw_after != run.state_raw_before:
        with open(os.path.join(run.dir, "state.json"), "wb") as f:
            f.write(state_raw_after)
        print("     after the run:  %s (written by this run)" % report.kept_text(load_json(state_raw_after), now))
    else:
        print("     after the run:  unchanged: this run kept nothing")


def report_calls(run):
    comms = report.read_json_lines(run.sim_file("comms.jsonl"))[run.comms_before:]
    run.write("comms.jsonl", comms)
    calls = report.parse_json_lines(comms)
    section("communications library calls (%d)" % len(calls))
    for call in calls:
        if "unreadable" in call:
            print("     (unreadable line) " + call["unreadable"])
            continue
        details = ", ".join("%s=%s" % (k, json.dumps(v, ensure_ascii=False))
                            for k, v in call.items() if k not in ("call", "seq", "pid"))
        print("     %s(%s)" % (call.get("call"), details))
    section("tracking requests")
    tracking = report.tracking_lines([c for c in calls if "unreadable" not in c])
    print(indent("\n".join(tracking)) if tracking else "     none")

    sdk = report.read_json_lines(run.sim_file("sdk.jsonl"))[run.sdk_before:]
    run.write("sdk.jsonl", sdk)
    print("\n  -- SDK calls recorded: %d (run-%d/sdk.jsonl)" % (len(sdk), run.number))

    # Calls the stand-ins refused as outside the program's contract with them.
    settings = report.read_json_lines(run.sim_file("settings.jsonl"))[run.settings_before:]
    violations = []
    for name, lines in (("sdk", sdk), ("comms", comms), ("settings", settings)):
        for record in report.parse_json_lines(lines):
            if "violation" in record:
                violations.append("%s %s: %s" % (name, record.get("op") or record.get("call"),
                                                 record["violation"]))
    section("contract violations")
    print(indent("\n".join(violations)) if violations else "     none")


def print_report(run, code, milliseconds, earlier):
    traces = report.parse_json_lines(report.read_json_lines(os.path.join(run.dir, "trace.jsonl")))
    new_files = sorted(queue_files(run.sim_file("queue")) - run.queue_before)
    verdict = report.verdict(traces, run.state_before, new_files, code)
    run.write("verdict.txt", [verdict])

    print("\n=== Run %d: quillmark.exe %s (from %s)" % (run.number, " ".join(run.arguments), run.folders[0]))
    flag = ""
    if code == -1:
        flag = " (-1: the run stopped early)"
    elif code != 0:
        flag = " (ABNORMAL END: neither 0 nor -1, the program crashed or was ended)"
    print("  exit code: %d%s; wall time %.1f s" % (code, flag, milliseconds / 1000.0))
    print("  verdict: " + verdict)
    failures = report.failure_lines(traces, run.args.catalog, run.args.marks)
    print("  failures (%d):" % len(failures) + ("" if failures else " none traced"))
    if failures:
        print(indent("\n".join(failures)))

    report_markers(run)
    report_delivery(run, new_files, verdict, earlier)
    report_kept_values(run, traces)
    report_calls(run)

    section("trace messages")
    decoded = decode_traces(traces, run.args.catalog)
    run.write("trace.txt", decoded)
    print(indent("\n".join(decoded)) if decoded else "     no trace was written")


def run_once(args, record, number, out, earlier):
    """One run and its report, printed and kept as run-<n>/report.txt. `earlier`
    carries the last delivered document of this call from run to run. Returns
    (runner worked, exit code)."""
    run = Run(args, record, number, out)
    with open(os.path.join(run.dir, "report.txt"), "w", encoding="utf-8") as f, \
            contextlib.redirect_stdout(Tee(sys.stdout, f)):
        started = start_program(run)
        if started is None:
            return False, None
        try:
            print_report(run, *started, earlier)
        except Exception as error:  # noqa: BLE001 - whatever a run left behind, the report ends
            print("\n  (the report of run %d stopped: %s: %s)" % (number, type(error).__name__, error))
            return False, started[0]
    return True, started[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--scenario", default=os.path.join(ROOT, "agent", "scenarios", "default.json"))
    parser.add_argument("--runs", type=int)
    parser.add_argument("--out")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    out = os.path.abspath(args.out or os.path.join(args.build, "demo-out"))
    if args.runs is not None and args.runs < 1:
        parser.error("--runs must be at least 1")
    if not os.path.exists(args.scenario):
        parser.error("no scenario file " + args.scenario)

    try:
        args.catalog = tc.read_catalog(os.path.join(DIAGNOSTICS, "trace_catalog.txt"))
        args.marks = tc.read_failures(os.path.join(DIAGNOSTICS, "trace_failures.txt"), args.catalog)
    except (tc.CatalogError, OSError) as error:
        print("the trace catalog is unreadable: %s" % error, file=sys.stderr)
        return 1
    simagent = os.path.join(args.build, "agent", "bin", "simagent.exe")
    os.makedirs(out, exist_ok=True)
    shutil.copy(args.scenario, os.path.join(out, "scenario.json"))
    installed = wine(args.build, simagent, ["install", windows_path(args.scenario)])
    with open(os.path.join(out, "install.txt"), "w") as f:
        f.write(installed.stdout + installed.stderr)
    print(installed.stdout.strip())
    if installed.returncode != 0:
        print("simagent install failed (exit code %d)" % installed.returncode, file=sys.stderr)
        return 1
    prefix = os.path.join(args.build, "wineprefix")
    record_path = os.path.join(prefix, "drive_c", "ProgramData", "Quillmark SimAgent", "installation.json")
    with open(record_path, encoding="utf-8") as f:
        record = json.load(f)
    shutil.copy(record_path, os.path.join(out, "installation.json"))
    # A scenario with "runs" runs once per item unless told otherwise.
    runs = args.runs or max(2, len(record.get("runs") or []))
    worked, abnormal, earlier = True, [], {}
    try:
        for number in range(1, runs + 1):
            ok, code = run_once(args, record, number, out, earlier)
            worked = worked and ok
            if code not in (None, 0, -1):
                abnormal.append(number)
    finally:
        wine(args.build, simagent, ["stop-agent"])
    print("\nEverything above is in %s" % out)
    if not worked:
        return 1
    if abnormal:
        print("Run(s) %s ended abnormally (exit code neither 0 nor -1)" % ", ".join(map(str, abnormal)),
              file=sys.stderr)
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
