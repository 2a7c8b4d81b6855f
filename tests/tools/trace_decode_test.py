#!/usr/bin/env python3
"""The trace decoder, as a QA engineer runs it on a QUILLMARK_TRACE file.

  trace_decode_test.py DECODER
"""

import os
import subprocess
import sys
import tempfile
import unittest

DECODER = sys.argv.pop(1) if len(sys.argv) > 1 else "tools/trace-decode.py"
T = "2026-12-07T10:00:00.000Z"


def line(source, number, level, *args):
    shown = ", ".join('{"kind": "%s", "value": %s}' % (("Int", a) if isinstance(a, int) else ("Narrow", '"%s"' % a))
                      for a in args)
    return '{"time": "%s", "source": "%s", "number": %d, "level": %d, "args": [%s]}' % (
        T, source, number, level, shown)


TRACE = [
    line("RunDriver", 18, 4, "False", "a\u2028b"),
    line("Upload", 999, 2, 7),
    "not json",
    line("Collector", 79, 2, 67182634, -2147467259),
    line("Collector", 149, 4, 67147009, -270582026),
    line("Collector", 73, 2, 490151),
    line("Upload", 21, 2, "linkbridge.dll", 126),
    line("Collector", 14, 4),
]


def decode(*options):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "run.jsonl")
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(TRACE) + "\n")
        run = subprocess.run([sys.executable, DECODER, *options, path], capture_output=True, encoding="utf-8")
    return run.stdout.split("\n")[:-1], run.stderr


class TraceDecoder(unittest.TestCase):
    def test_lines_name_source_and_number_with_codes_in_hexadecimal(self):
        lines, errors = decode()
        self.assertEqual(lines, [
            T + " RunDriver 18 Info Run: nothing to send (changed False, resend due a\u2028b)",
            T + " Upload 999 Error (not in the catalog): 7",
            T + " Collector 79 Error Collector: licence information 0x401202A not read, error 0x80004005",
            T + " Collector 149 Info Collector: kept value 0x4009501 is 0xEFDF3EF6",
            T + " Collector 73 Error Collector: module status 490151 stored",
            T + " Upload 21 Error Upload: library linkbridge.dll not loaded, error 0x0000007E",
            T + " Collector 14 Info Collector: context interface not offered, error %1",
        ])
        self.assertIn(":3: not a trace line", errors)

    def test_filters_by_source_number_level_and_failure_marks(self):
        cases = [
            (["--source", "Collector", "--level", "2"], [("Collector", 79), ("Collector", 73)]),
            (["--source", "Upload", "--source", "RunDriver"], [("RunDriver", 18), ("Upload", 999), ("Upload", 21)]),
            (["--number", "149", "--level", "Info"], [("Collector", 149)]),
            (["--failures"], [("Collector", 79), ("Upload", 21), ("Collector", 14)]),
        ]
        for options, expected in cases:
            with self.subTest(options=options):
                lines, _ = decode(*options)
                self.assertEqual([(l.split()[1], int(l.split()[2])) for l in lines], expected)


if __name__ == "__main__":
    unittest.main()
