#!/usr/bin/env python3
"""Checks the program's trace points against the trace catalog.

Every QM_TRACE point must have its catalog row with the same source, number,
level, flag bit and argument kinds; every row must be used by a point; the
same message may be traced from several places only with the same shape. The
provider's control GUID and each source's message GUID must be the catalog's;
every failure mark must name a catalog row.

  trace-check.py --catalog CATALOG --failures MARKS --sources PROVIDER_CPP --scan DIR [--skip FILE]...
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import trace_catalog as tc  # noqa: E402


def check_guids(catalog, sources, control_guid):
    actual = {name: source.guid for name, source in sources.items()}
    actual["Control"] = control_guid
    return [f"GUID of {name}: provider {actual.get(name)}, catalog {catalog.guids.get(name)}"
            for name in sorted(set(actual) | set(catalog.guids))
            if actual.get(name) != catalog.guids.get(name)]


def check(catalog, points, sources):
    problems = []
    used = set()
    for p in points:
        if p.source not in sources:
            problems.append(f"{p.where}: unknown source {p.source}")
            continue
        key = (p.source, p.number)
        row = catalog.rows.get(key)
        if row is None:
            problems.append(f"{p.where}: {p.source} {p.number} has no catalog row")
            continue
        used.add(key)
        if p.level != row.level:
            problems.append(f"{p.where}: {p.source} {p.number} level {p.level}, catalog {row.level}")
        if p.flag != row.flag:
            problems.append(f"{p.where}: {p.source} {p.number} flag {p.flag}, catalog {row.flag}")
        if p.kinds != row.wire_kinds:
            problems.append(f"{p.where}: {p.source} {p.number} arguments {','.join(p.kinds) or '-'}, "
                            f"catalog {','.join(row.kinds) or '-'}")
    for key, row in sorted(catalog.rows.items()):
        if key not in used:
            problems.append(f"catalog line {row.line}: {row.source} {row.number} is traced nowhere")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--catalog", required=True)
    parser.add_argument("--failures", required=True, help="trace_failures.txt")
    parser.add_argument("--sources", required=True, help="trace_provider.cpp")
    parser.add_argument("--scan", required=True, action="append", help="directory of C++ code")
    parser.add_argument("--skip", action="append", default=[], help="file not to scan")
    args = parser.parse_args()
    try:
        sources = tc.read_sources(args.sources)
        catalog = tc.read_catalog(args.catalog, sources)
        marks = tc.read_failures(args.failures, catalog)
        points = []
        for root in args.scan:
            points += tc.scan_trace_points(root, args.skip)
        problems = check_guids(catalog, sources, tc.read_control_guid(args.sources))
    except (tc.CatalogError, OSError) as error:
        print(error, file=sys.stderr)
        return 1
    problems += check(catalog, points, sources)
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"{len(points)} trace points match {len(catalog.rows)} catalog rows, {len(marks)} marked failures")
    return 0


if __name__ == "__main__":
    sys.exit(main())
