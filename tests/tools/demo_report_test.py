#!/usr/bin/env python3
"""The demo report's verdict line, failure list, kept values and member diff
for each course of a run, built from trace records as the program writes them.

  demo_report_test.py TOOLS_DEMO_FOLDER
"""

import os
import sys
import tempfile
import unittest

DEMO = sys.argv.pop(1) if len(sys.argv) > 1 else "tools/demo"
DIAGNOSTICS = os.path.join(DEMO, "..", "..", "src", "diagnostics")
sys.path.insert(0, DEMO)
import demo_report as report  # noqa: E402
import trace_catalog as tc  # noqa: E402

T = "2026-12-06T10:00:00.000Z"


def trace(source, number, *args):
    kinds = [{"kind": "Int" if isinstance(a, int) else "Narrow", "value": a} for a in args]
    return {"time": T, "source": source, "number": number, "args": kinds}


KEPT = {"0x4009501": {"type": "VT_UI4", "value": 0x1234ABCD},
        "0x4009502": {"type": "VT_DATE", "value": "2026-11-26T10:00:00"}}
CHANGED = [trace("Collector", 149, 0x4009501, 0x1234ABCD), trace("RunDriver", 19, "True", "False"),
           trace("Upload", 16, "succeeded"), trace("Collector", 163, -0x10)]
FIRST = [trace("Collector", 148, 0x4009501), trace("Collector", 168), trace("RunDriver", 19, "True", "True"),
         trace("Upload", 16, "succeeded"), trace("Collector", 163, 0x55)]
RESEND = [trace("Collector", 149, 0x4009501, 0x1234ABCD), trace("RunDriver", 19, "False", "True"),
          trace("Upload", 16, "succeeded"), trace("Collector", 163, 0x1234ABCD)]
UNCHANGED = [trace("Collector", 149, 0x4009501, 0x1234ABCD), trace("RunDriver", 18, "False", "False")]
FAILED = [trace("Collector", 148, 0x4009501), trace("RunDriver", 19, "True", "True"),
          trace("Upload", 16, "failed!!")]
DELIVERED = ["svc/queue/a.dat"]


class Verdicts(unittest.TestCase):
    def test_each_course_says_why(self):
        cases = [
            (CHANGED, KEPT, DELIVERED, 0, "sent: profile changed (hash 0xFFFFFFF0, kept 0x1234ABCD)"),
            (FIRST, None, DELIVERED, 0, "sent: nothing kept yet"),
            (RESEND, KEPT, DELIVERED, 0, "sent: resend due (last upload 10 days ago)"),
            (UNCHANGED, {"0x4009502": {"type": "VT_DATE", "value": "now-2d"}}, [], 0,
             "not sent: unchanged since the upload of 2026-12-04 10:00 UTC (resend after 7 days)"),
            (FAILED, None, [], 0, "not sent: the upload failed (state not kept; wanted: nothing kept yet)"),
            (FIRST, None, [], 0, "sent: nothing kept yet; Send answered true, yet no file was delivered"),
            (FIRST, KEPT, DELIVERED, 0, "sent: the kept hash could not be read"),
            ([trace("RunDriver", 11), trace("RunDriver", 13)], None, [], -1,
             "not sent: the run stopped: the agent's service was not ready in time"),
            (CHANGED[:2], KEPT, [], 3,
             "not sent: the program ended abnormally (exit code 3) after deciding to send (profile changed "
             "(hash not kept, kept 0x1234ABCD))"),
        ]
        for traces, kept, delivered, code, expected in cases:
            with self.subTest(expected=expected):
                self.assertEqual(report.verdict(traces, kept, delivered, code), expected)


class MemberDiff(unittest.TestCase):
    def test_changed_members_by_path_with_counters_marked(self):
        earlier = {"MUID": "M", "Products": [{"ID": "1"}, {"Licenses": [{"ExpirationDate": "2022-03-07"}]}],
                   "DetectionCounters": {"Urls": "17"}}
        later = {"MUID": "M", "Products": [{"ID": "1"}, {"Licenses": [{"ExpirationDate": "2023-03-07"}]}],
                 "DetectionCounters": {"Urls": "18"}, "InstUID": "U"}
        self.assertEqual(report.member_diff(earlier, later), [
            "Products[1].Licenses[0].ExpirationDate: 2022-03-07 → 2023-03-07",
            "DetectionCounters.Urls: 17 → 18 (not part of the change decision)",
            "InstUID: (absent) → U"])


class KeptValues(unittest.TestCase):
    def test_odd_kept_values_are_shown_as_they_are(self):
        # Values randomised scenarios put in sdk.state: none may end the report.
        date = lambda value: {"type": "VT_DATE", "value": value}  # noqa: E731
        cases = [
            ({"0x4009502": 0}, "no hash, kept time: 0, not a date"),
            ({"0x4009502": date(2958466)}, "no hash, kept time: VT_DATE 2958466, not a date"),
            ({"0x4009502": date(1e15)}, "no hash, kept time: VT_DATE 1000000000000000.0, not a date"),
            ({"67147009": 5, "0x4009502": date(46000)},
             "hash 0x00000005, last upload 2025-12-09 00:00:00 UTC"),
            ({"0x4009501": {"type": "VT_BSTR", "value": "abc"}},
             'kept hash: VT_BSTR "abc", not a number, no upload time'),
            ([], "no hash, no upload time"),
        ]
        for state, expected in cases:
            with self.subTest(state=state):
                self.assertEqual(report.kept_text(state), expected)
                report.verdict(UNCHANGED, state, [], 0)
                report.verdict(RESEND, state, DELIVERED, 0)


class Failures(unittest.TestCase):
    def test_failure_courses_listed_whatever_their_level(self):
        catalog = tc.read_catalog(os.path.join(DIAGNOSTICS, "trace_catalog.txt"))
        marks = tc.read_failures(os.path.join(DIAGNOSTICS, "trace_failures.txt"), catalog)
        traces = [trace("Collector", 79, 0x401202A, -2147467259), trace("Collector", 73, 5),
                  trace("RunDriver", 14), trace("Upload", 16, "succeeded"), trace("Upload", 16, "failed!!")]
        self.assertEqual(report.failure_lines(traces, catalog, marks), [
            "Collector 79: Collector: licence information 0x401202A not read, error 0x80004005",
            "RunDriver 14: Run: no SDK activation context, run stopped",
            "Upload 16: Upload: data file send failed!!"])


class LogLines(unittest.TestCase):
    def test_lines_split_at_line_feeds_only(self):
        # A host name that deciphers to "a" U+0085 "b" (and the other
        # separators str.splitlines() knows) must not cut its record apart.
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "comms.jsonl")
            with open(path, "w", encoding="utf-8") as f:
                f.write('{"call": "OpenChannel", "hostName": "a\u0085b\u2028c\u2029d"}\n'
                        '{"call": "CreateRequest", "url": "http://t/", "result": "request#1"}\n'
                        '{"call": "Start", "request": "request#1", "muid": "M", "customId": "7", '
                        '"eventName": "prfSvrNotRun", "result": true}\n'
                        '{"call": "AddParameter", "request": "request#1", "name": "v", "value": "2", '
                        '"result": true}\n'
                        '{"call": "Submit", "request": "request#1", "settings": null, "result": false}\n')
            calls = report.parse_json_lines(report.read_json_lines(path))
        self.assertEqual(calls[0]["hostName"], "a\u0085b\u2028c\u2029d")
        self.assertEqual(report.tracking_lines(calls), [
            "request#1 http://t/ event prfSvrNotRun, parameters {v=2}, MUID M, custom identifier 7, "
            "no settings passed (Submit false)"])


if __name__ == "__main__":
    unittest.main()
