#!/usr/bin/env python3
"""quillmark.exe must be a 32-bit program that imports system DLLs only:
a runtime DLL missing on the endpoint would stop it before its first line."""
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll", "user32.dll",
               "msvcrt.dll", "version.dll", "shell32.dll", "ws2_32.dll"}

objdump, program = sys.argv[1], sys.argv[2]
headers = subprocess.run([objdump, "-p", program], check=True, capture_output=True, text=True).stdout
imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", headers)}
failures = []
if "file format pei-i386" not in headers:
    failures.append("not a 32-bit (i386) PE image")
if not imports:
    failures.append("no import table found")
if imports - SYSTEM_DLLS:
    failures.append("imports outside the system: " + ", ".join(sorted(imports - SYSTEM_DLLS)))
for failure in failures:
    print(failure)
sys.exit(1 if failures else 0)
