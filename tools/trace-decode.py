#!/usr/bin/env python3
"""Prints a trace file written through QUILLMARK_TRACE as readable lines.

Each JSON line becomes: time, source, message number, level, and the catalog
text of the message with its arguments filled in (SDK items, error codes and
hashes in hexadecimal).

  trace-decode.py [--catalog CATALOG] [--source NAME]... [--number N]...
                  [--level LEVEL]... [--failures] TRACE_FILE

Filters combine: --source Collector --level 2 prints the collector's level-2
messages; repeating one filter widens it. --failures keeps the messages that
trace_failures.txt marks as failure courses.
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_catalog as tc  # noqa: E402

DIAGNOSTICS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "diagnostics")


def level_number(text):
    """A level given as 2, 4, 5 or its name."""
    if text in tc.LEVELS:
        return tc.LEVELS[text]
    if text.isdigit():
        return int(text)
    raise argparse.ArgumentTypeError(f"unknown level {text!r} (2, 4, 5, Error, Info or Verbose)")


def wanted(args, marks, record):
    return ((not args.source or record.get("source") in args.source)
            and (not args.number or record.get("number") in args.number)
            and (not args.level or record.get("level") in args.level)
            and (not args.failures or tc.is_failure(marks, record)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalog", default=os.path.join(DIAGNOSTICS, "trace_catalog.txt"))
    parser.add_argument("--failure-marks", default=os.path.join(DIAGNOSTICS, "trace_failures.txt"))
    parser.add_argument("--source", action="append", help="keep this trace source (repeatable)")
    parser.add_argument("--number", action="append", type=int, help="keep this message number")
    parser.add_argument("--level", action="append", type=level_number, help="keep this level")
    parser.add_argument("--failures", action="store_true", help="keep the failure courses only")
    parser.add_argument("trace_file")
    args = parser.parse_args()
    try:
        catalog = tc.read_catalog(args.catalog)
        marks = tc.read_failures(args.failure_marks, catalog) if args.failures else {}
        # Lines end at "\n" only: logged texts may hold other line separators.
        trace = open(args.trace_file, encoding="utf-8", errors="replace", newline="\n")
    except (tc.CatalogError, OSError) as error:
        print(error, file=sys.stderr)
        return 1
    with trace:
        for number, line in enumerate(trace, 1):
            if not line.strip():
                continue
            try:
                record = json.loads(line)
                if wanted(args, marks, record):
                    print(tc.record_line(catalog, record))
            except (ValueError, TypeError, AttributeError) as error:
                print(f"{args.trace_file}:{number}: not a trace line ({error})", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
