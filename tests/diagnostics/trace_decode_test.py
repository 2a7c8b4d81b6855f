#!/usr/bin/env python3
"""Runs trace_probe.exe under the test bench with QUILLMARK_TRACE set: at
4,0x10 then 2,0x10 into one file, which must hold exactly the messages that
pass, appended, and print through the decoder; malformed settings must leave
the probe running without any trace.

  trace_decode_test.py WINE_RUN PREFIX PROBE_EXE DECODER CATALOG
"""

import os
import re
import subprocess
import sys
import tempfile

EXPECTED = [
    "RunDriver Info Instance mutex taken",
    "RunDriver Info Nothing to send: changed False, resend due True",
    "ServiceControl Error Service query failed with -1",
    "Tracking Info Tracking texts <NULL> NULL caf\u00e9",
    'RunDriver Info Profile document {"MUID":"a\\b\u00e9"}',
    "ServiceControl Error Service query failed with -1",  # the second run, appended
]
TIME = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z ")


def main():
    wine_run, prefix, probe, decoder, catalog = sys.argv[1:6]
    with tempfile.TemporaryDirectory() as scratch:
        trace = os.path.join(scratch, "probe.jsonl")
        malformed = os.path.join(scratch, "malformed.jsonl")
        for setting, path in (("4,0x10,", trace), ("2,0x10,", trace), ("4,0xG0,", malformed)):
            env = dict(os.environ, QUILLMARK_TRACE=setting + "Z:" + path.replace("/", "\\"))
            run = subprocess.run([wine_run, prefix, probe], env=env, stdin=subprocess.DEVNULL,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120)
            if run.returncode != 0:
                print(f"probe with {setting} exited {run.returncode}: {run.stdout.decode(errors='replace')}")
                return 1
        if os.path.exists(malformed):
            print("malformed settings wrote a trace")
            return 1
        decoded = subprocess.run([sys.executable, decoder, "--catalog", catalog, trace],
                                 stdout=subprocess.PIPE, check=True, encoding="utf-8")
    lines = decoded.stdout.splitlines()
    if any(not TIME.match(line) for line in lines) or [TIME.sub("", l) for l in lines] != EXPECTED:
        print("decoded:\n  " + "\n  ".join(lines))
        print("expected (after the time):\n  " + "\n  ".join(EXPECTED))
        return 1
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
