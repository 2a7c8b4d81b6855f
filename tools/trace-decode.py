#!/usr/bin/env python3
"""Prints a trace file written through QUILLMARK_TRACE as readable lines.

Each JSON line becomes: time, source name, level, and the catalog text of the
message with its arguments filled in.

  trace-decode.py [--catalog CATALOG] TRACE_FILE
"""

import argparse
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_catalog as tc  # noqa: E402

DEFAULT_CATALOG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src",
                               "diagnostics", "trace_catalog.txt")


def argument_text(arg):
    return str(arg.get("value"))


def message_text(catalog, record):
    args = record.get("args", [])
    text = catalog.text_of(record.get("source"), record.get("number"))
    if text is None:
        shown = ", ".join(argument_text(a) for a in args)
        return f"message {record.get('number')} (not in the catalog)" + (f": {shown}" if shown else "")

    def fill(match):
        index = int(match.group(1)) - 1
        return argument_text(args[index]) if 0 <= index < len(args) else match.group(0)
    return re.sub(r"%(\d+)", fill, text)


def decode_line(catalog, line):
    record = json.loads(line)
    level = tc.LEVEL_NAMES.get(record.get("level"), str(record.get("level")))
    return f"{record.get('time')} {record.get('source')} {level} {message_text(catalog, record)}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalog", default=DEFAULT_CATALOG)
    parser.add_argument("trace_file")
    args = parser.parse_args()
    try:
        catalog = tc.read_catalog(args.catalog)
    except (tc.CatalogError, OSError) as error:
        print(error, file=sys.stderr)
        return 1
    # Lines end at "\n" only: logged texts may hold other line separators.
    with open(args.trace_file, encoding="utf-8", errors="replace", newline="\n") as f:
        for number, line in enumerate(f, 1):
            if not line.strip():
                continue
            try:
                print(decode_line(catalog, line))
            except (ValueError, TypeError) as error:
                print(f"{args.trace_file}:{number}: not a trace line ({error})", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
