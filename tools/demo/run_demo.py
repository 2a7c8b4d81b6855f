#!/usr/bin/env python3
"""Runs quillmark.exe against a scenario of the simulated agent and reports.

  run_demo.py --build BUILD_DIR [--scenario FILE] [--runs N] [--out DIR]

Installs the scenario into the build's Wine prefix (simagent.exe install), runs
`quillmark.exe` with the scenario's command line from the agent's folder N
times, and after each run prints a report and leaves its material in
DIR/run-<n>/ (layout in docs/simulated-agent.md). Exit status: 0 when every
step of the runner worked (whatever the program's exit codes), 1 otherwise.
"""

import argparse
import binascii
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
MARKERS = ("TestQuillmark_OK.log", "TestQuillmark_ERROR.log")


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


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read().splitlines()


def queue_files(queue_root):
    found = set()
    for folder, _, names in os.walk(queue_root):
        for name in names:
            found.add(os.path.relpath(os.path.join(folder, name), queue_root))
    return found


def section(title):
    print("\n  -- " + title)


def indent(text, by="     "):
    return "\n".join(by + line for line in text.splitlines())


def report_document(raw):
    crc = binascii.crc32(raw) & 0xFFFFFFFF
    print("     size %d bytes, CRC-32 of the raw bytes 0x%08X" % (len(raw), crc))
    try:
        print(indent(json.dumps(json.loads(raw.decode("cp1252")), indent=2, ensure_ascii=False)))
    except (ValueError, UnicodeDecodeError) as error:
        print("     (not valid JSON: %s)" % error)
        print(indent(raw.decode("cp1252", errors="replace")))


def run_once(args, record, number, out):
    prefix = os.path.join(args.build, "wineprefix")
    agent_win = record["agentFolder"]
    agent = linux_path(prefix, agent_win)
    sim = os.path.join(agent, "SimAgent")
    run_dir = os.path.join(out, "run-%d" % number)
    os.makedirs(run_dir, exist_ok=True)

    comms_before = len(read_lines(os.path.join(sim, "comms.jsonl")))
    sdk_before = len(read_lines(os.path.join(sim, "sdk.jsonl")))
    queue_before = queue_files(os.path.join(sim, "queue"))

    env = dict(os.environ)
    for name, value in record.get("environment", {}).items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    trace_file = os.path.join(run_dir, "trace.jsonl")
    if os.path.exists(trace_file):
        os.remove(trace_file)
    env["QUILLMARK_TRACE"] = "5,0x1F," + windows_path(trace_file)

    arguments = record.get("commandLine", [])
    result = wine(args.build, agent_win + "\\quillmark.exe", arguments, cwd=agent, env=env)
    code = result.returncode
    shown = -1 if code == 255 else code

    with open(os.path.join(run_dir, "exit-code.txt"), "w") as f:
        f.write("%d\n" % shown)
    with open(os.path.join(run_dir, "command.txt"), "w") as f:
        f.write(" ".join(["quillmark.exe"] + arguments) + "\n")
    with open(os.path.join(run_dir, "console.txt"), "w") as f:
        f.write(result.stdout + result.stderr)

    print("\n=== Run %d: quillmark.exe %s (from %s)" % (number, " ".join(arguments), agent_win))
    print("  exit code: %d%s" % (shown, " (-1: the run stopped early)" if shown == -1 else ""))

    section("test-mode marker")
    marker_dir = os.path.join(run_dir, "markers")
    shutil.rmtree(marker_dir, ignore_errors=True)
    os.makedirs(marker_dir)
    any_marker = False
    for name in MARKERS:
        path = os.path.join(agent, name)
        if os.path.exists(path):
            any_marker = True
            shutil.copy(path, marker_dir)
            with open(path, "rb") as f:
                print("     %s:" % name)
                print(indent(f.read().decode("cp1252", errors="replace").strip("\r\n"), "       "))
    if not any_marker:
        print("     none in the agent folder")

    section("uploaded document")
    delivered_dir = os.path.join(run_dir, "delivered")
    shutil.rmtree(delivered_dir, ignore_errors=True)
    new_files = sorted(queue_files(os.path.join(sim, "queue")) - queue_before)
    if not new_files:
        print("     nothing was delivered")
    for name in new_files:
        target = os.path.join(delivered_dir, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(os.path.join(sim, "queue", name), target)
        print("     queue\\" + name.replace("/", "\\"))
        with open(target, "rb") as f:
            report_document(f.read())

    section("kept values (SimAgent\\state.json)")
    state_path = os.path.join(sim, "state.json")
    if os.path.exists(state_path):
        shutil.copy(state_path, os.path.join(run_dir, "state.json"))
        with open(state_path, encoding="utf-8") as f:
            try:
                state = json.load(f)
                for item, label in (("0x4009501", "profile hash"), ("0x4009502", "last upload time")):
                    print("     %s %s: %s" % (item, label, json.dumps(state.get(item, "(absent)"))))
            except ValueError as error:
                print("     unreadable: %s" % error)
    else:
        print("     no state.json: nothing kept")

    comms = read_lines(os.path.join(sim, "comms.jsonl"))[comms_before:]
    with open(os.path.join(run_dir, "comms.jsonl"), "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in comms))
    section("communications library calls (%d)" % len(comms))
    tracking = []
    for line in comms:
        try:
            call = json.loads(line)
        except ValueError:
            print("     (unreadable line) " + line)
            continue
        details = ", ".join("%s=%s" % (k, json.dumps(v, ensure_ascii=False))
                            for k, v in call.items() if k not in ("call", "seq", "pid"))
        print("     %s(%s)" % (call.get("call"), details))
        if call.get("call") in ("CreateRequest", "Start", "AddParameter", "Prepare", "Submit"):
            tracking.append(call)
    section("tracking requests")
    print("     %d request call(s) recorded above" % len(tracking) if tracking else "     none")

    sdk = read_lines(os.path.join(sim, "sdk.jsonl"))[sdk_before:]
    with open(os.path.join(run_dir, "sdk.jsonl"), "w", encoding="utf-8") as f:
        f.write("".join(line + "\n" for line in sdk))
    print("\n  -- SDK calls recorded: %d (run-%d/sdk.jsonl)" % (len(sdk), number))

    section("trace messages")
    decoder = os.path.join(ROOT, "tools", "trace-decode.py")
    decoded_path = os.path.join(run_dir, "trace.txt")
    if os.path.exists(trace_file) and os.path.exists(decoder):
        decoded = subprocess.run([sys.executable, decoder, trace_file], capture_output=True, text=True)
        with open(decoded_path, "w", encoding="utf-8") as f:
            f.write(decoded.stdout + decoded.stderr)
        text = decoded.stdout.strip()
        print(indent(text) if text else "     none written")
    else:
        print("     no trace file was written")
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True)
    parser.add_argument("--scenario", default=os.path.join(ROOT, "agent", "scenarios", "default.json"))
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--out")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    out = os.path.abspath(args.out or os.path.join(args.build, "demo-out"))
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    if not os.path.exists(args.scenario):
        parser.error("no scenario file " + args.scenario)

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
    try:
        for number in range(1, args.runs + 1):
            run_once(args, record, number, out)
    finally:
        wine(args.build, simagent, ["stop-agent"])
    print("\nEverything above is in %s" % out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
