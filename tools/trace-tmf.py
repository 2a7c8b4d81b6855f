#!/usr/bin/env python3
"""Writes the trace message format (TMF) files of the program's trace sources.

One file per message GUID, named <guid>.tmf, that the platform's trace
formatting tools read to print the program's binary trace messages.

  trace-tmf.py --catalog CATALOG --sources PROVIDER_CPP --out DIR
"""

import argparse
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_catalog as tc  # noqa: E402

# The formatting tools number a message's own arguments from 10 (the lower
# numbers are the standard prefix items).
FIRST_ARGUMENT = 10
# Item type and conversion of each argument kind; identifiers, codes and hashes
# print in hexadecimal, as tools/trace-decode.py prints them.
ITEM_TYPES = {"Int": ("ItemLong", "d"), "Item": ("ItemLong", "X"), "Code": ("ItemLong", "08X"),
              "Hash": ("ItemLong", "08X"), "Narrow": ("ItemString", "s"), "Wide": ("ItemWString", "s")}
LEVEL_NAMES = {"Error": "TRACE_LEVEL_ERROR", "Info": "TRACE_LEVEL_INFORMATION",
               "Verbose": "TRACE_LEVEL_VERBOSE"}


def format_string(row):
    def argument(match):
        index = int(match.group(1))
        _, conversion = ITEM_TYPES[row.kinds[index - 1]]
        prefix = "0x" if conversion.endswith("X") else ""
        return f"{prefix}%{FIRST_ARGUMENT + index - 1}!{conversion}!"
    return "%0" + re.sub(r"%(\d+)", argument, row.text)


def tmf_text(source, rows):
    lines = [
        f"// Trace message format of the {source.name} trace source, made from trace_catalog.txt",
        f"{source.guid} {source.name} // SRC=trace_catalog.txt MJ= MN=",
    ]
    for row in rows:
        lines.append(f'#typev {source.name}_{row.number} {row.number} "{format_string(row)}"'
                     f" //   LEVEL={LEVEL_NAMES[row.level]} FLAGS=0x{tc.FLAGS[row.flag]:02X}")
        lines.append("{")
        for i, kind in enumerate(row.kinds):
            item, _ = ITEM_TYPES[kind]
            lines.append(f"arg{i + 1}, {item} -- {FIRST_ARGUMENT + i}")
        lines.append("}")
    return "\r\n".join(lines) + "\r\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalog", required=True)
    parser.add_argument("--sources", required=True, help="trace_provider.cpp")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    try:
        sources = tc.read_sources(args.sources)
        catalog = tc.read_catalog(args.catalog, sources)
    except (tc.CatalogError, OSError) as error:
        print(error, file=sys.stderr)
        return 1
    os.makedirs(args.out, exist_ok=True)
    for source in sources.values():
        rows = sorted((r for r in catalog.rows.values() if r.source == source.name),
                      key=lambda r: r.number)
        path = os.path.join(args.out, f"{source.guid}.tmf")
        text = tmf_text(source, rows)
        # Rewritten only when changed, so the build stays quiet.
        try:
            with open(path, encoding="utf-8", newline="") as f:
                if f.read() == text:
                    continue
        except OSError:
            pass
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
