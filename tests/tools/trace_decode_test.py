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


class TraceDecoder(unittest.TestCase):
    def test_catalog_texts_filled_unknown_messages_shown_bad_lines_reported(self):
        t = '"time": "2026-12-07T10:00:00.000Z"'
        lines = [
            '{%s, "source": "RunDriver", "number": 18, "level": 4, "args": '
            '[{"kind": "Narrow", "value": "False"}, {"kind": "Narrow", "value": "a\u2028b"}]}' % t,
            '{%s, "source": "Upload", "number": 999, "level": 2, "args": [{"kind": "Int", "value": 7}]}' % t,
            'not json',
        ]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "run.jsonl")
            with open(path, "w", encoding="utf-8", newline="\n") as f:
                f.write("\n".join(lines) + "\n")
            run = subprocess.run([sys.executable, DECODER, path], capture_output=True, encoding="utf-8")
        self.assertEqual(run.stdout.split("\n"), [
            "2026-12-07T10:00:00.000Z RunDriver Info Run: nothing to send (changed False, resend due a\u2028b)",
            "2026-12-07T10:00:00.000Z Upload Error message 999 (not in the catalog): 7", ""])
        self.assertIn(":3: not a trace line", run.stderr)


if __name__ == "__main__":
    unittest.main()
