#!/usr/bin/env python3
"""The shipped quillmark.exe must be a 32-bit program that imports system DLLs
only (a runtime DLL missing on the endpoint would stop it before its first
line), stripped, linked to its debug file and small; the release archive must
hold what its CONTENTS.txt promises.

  program_imports_test.py OBJDUMP SHIPPED_EXE [PACKAGE_SH]
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "user32.dll",
               "msvcrt.dll", "version.dll", "shell32.dll", "ws2_32.dll"}
MAX_BYTES = 600 * 1024

objdump, program = sys.argv[1], sys.argv[2]
headers = subprocess.run([objdump, "-p", "-h", program], check=True, capture_output=True, text=True).stdout
imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
sections = set(re.findall(r"^\s*\d+\s+(\S+)\s+[0-9a-f]{8}", headers, re.M))
failures = []
if "file format pei-i386" not in headers:
    failures.append("not a 32-bit (i386) PE image")
if not imports:
    failures.append("no import table found")
if imports - SYSTEM_DLLS:
    failures.append("imports outside the system: " + ", ".join(sorted(imports - SYSTEM_DLLS)))
if any(name.startswith((".debug", ".zdebug")) for name in sections):
    failures.append("debug sections shipped: " + ", ".join(sorted(n for n in sections if "debug_" in n)))
if ".gnu_debuglink" not in sections:
    failures.append("no .gnu_debuglink section naming the debug file")
# An instrumented build (tools/coverage.sh) is not the shipped size.
if not os.environ.get("QUILLMARK_COVERAGE") and os.path.getsize(program) >= MAX_BYTES:
    failures.append("%d bytes, not under %d" % (os.path.getsize(program), MAX_BYTES))

if len(sys.argv) > 3:
    with tempfile.TemporaryDirectory() as out:
        archive = subprocess.run(["bash", sys.argv[3], "--no-build", "--out", out], check=True,
                                 capture_output=True, text=True).stdout.strip()
        names = zipfile.ZipFile(archive).namelist()
    top = os.path.basename(archive)[:-len(".zip")] + "/"
    for wanted in ("quillmark.exe", "quillmark.exe.debug", "trace_catalog.txt", "CONTENTS.txt"):
        if top + wanted not in names:
            failures.append("archive lacks " + top + wanted)
    if not any(n.startswith(top + "tmf/") and n.endswith(".tmf") for n in names):
        failures.append("archive holds no TMF file")
for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
