"""Reading the trace catalog, the trace sources and the program's trace points.

Shared by trace-check.py, trace-tmf.py, trace-decode.py and the demo runner.
"""

import os
import re
from dataclasses import dataclass, field

LEVELS = {"Error": 2, "Info": 4, "Verbose": 5}
LEVEL_NAMES = {2: "Error", 4: "Info", 5: "Verbose"}
FLAGS = {"Collector": 0x01, "Documents": 0x02, "DataFile": 0x04, "Upload": 0x08, "Run": 0x10}
# Argument kinds of the catalog and how each goes out: the 32-bit kinds differ
# only in how a reader shows them.
WIRE_KINDS = {"Int": "Int", "Item": "Int", "Code": "Int", "Hash": "Int", "Narrow": "Narrow",
              "Wide": "Wide"}
KINDS = tuple(WIRE_KINDS)
# How each argument helper is sent: converted wide text goes out as narrow text.
HELPER_KINDS = {"Int": "Int", "Narrow": "Narrow", "Wide": "Wide", "AnsiOf": "Narrow"}


class CatalogError(Exception):
    pass


@dataclass
class Row:
    source: str
    number: int
    level: str
    flag: str
    kinds: list
    text: str
    line: int

    @property
    def wire_kinds(self):
        return [WIRE_KINDS[k] for k in self.kinds]


@dataclass
class TracePoint:
    source: str
    number: int
    level: str
    flag: str
    kinds: list
    where: str


@dataclass
class TraceSource:
    name: str
    guid: str  # lower case, no braces


@dataclass
class Catalog:
    rows: dict = field(default_factory=dict)  # (source, number) -> Row
    guids: dict = field(default_factory=dict)  # "Control" or a source name -> lower-case GUID

    def text_of(self, source, number):
        row = self.rows.get((source, number))
        return row.text if row else None


def _table_lines(path):
    """("path:number", number, text) for each line of a table file that is not blank or a comment."""
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if line.strip() and not line.lstrip().startswith("#"):
                yield f"{path}:{number}", number, line


def read_catalog(path, sources=None):
    """Parses the catalog; raises CatalogError naming the line of any fault."""
    catalog = Catalog()
    for where, number, line in _table_lines(path):
        if line.startswith("Guid|"):
            _, name, guid = (line.split("|") + ["", ""])[:3]
            if not re.fullmatch(r"[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}", guid):
                raise CatalogError(f"{where}: expected Guid|Name|lower-case GUID")
            catalog.guids[name] = guid
            continue
        parts = line.split("|", 5)
        if len(parts) != 6:
            raise CatalogError(f"{where}: expected 6 fields separated by '|'")
        source, msg, level, flag, kinds, text = parts
        if sources is not None and source not in sources:
            raise CatalogError(f"{where}: unknown source {source!r}")
        if not msg.isdigit():
            raise CatalogError(f"{where}: message number {msg!r} is not a number")
        if level not in LEVELS:
            raise CatalogError(f"{where}: unknown level {level!r}")
        if flag not in FLAGS:
            raise CatalogError(f"{where}: unknown flag {flag!r}")
        kind_list = [k for k in kinds.split(",")] if kinds else []
        for k in kind_list:
            if k not in KINDS:
                raise CatalogError(f"{where}: unknown argument kind {k!r}")
        if '"' in text:
            raise CatalogError(f"{where}: the text may not hold a double quote")
        placeholders = {int(p) for p in re.findall(r"%(\d+)", text)}
        if placeholders - set(range(1, len(kind_list) + 1)):
            raise CatalogError(f"{where}: placeholder beyond the {len(kind_list)} argument(s)")
        key = (source, int(msg))
        if key in catalog.rows:
            raise CatalogError(f"{where}: duplicate row for {source} {msg}")
        catalog.rows[key] = Row(source, int(msg), level, flag, kind_list, text, number)
    return catalog


def read_failures(path, catalog):
    """The failure marks beside the catalog: {(source, number): (argument index, text) or None}.
    Raises CatalogError for a mark that names no catalog row or no argument of it."""
    marks = {}
    for where, _, line in _table_lines(path):
        parts = line.split("|", 2)
        if len(parts) < 2 or not parts[1].isdigit():
            raise CatalogError(f"{where}: expected Source|Number or Source|Number|%N=TEXT")
        key = (parts[0], int(parts[1]))
        row = catalog.rows.get(key)
        if row is None:
            raise CatalogError(f"{where}: {parts[0]} {parts[1]} is not in the catalog")
        if key in marks:
            raise CatalogError(f"{where}: {parts[0]} {parts[1]} is marked twice")
        marks[key] = None
        if len(parts) == 3:
            condition = re.fullmatch(r"%(\d+)=(.*)", parts[2])
            if not condition or not 1 <= int(condition.group(1)) <= len(row.kinds):
                raise CatalogError(f"{where}: the condition must be %N=TEXT, N an argument of the row")
            marks[key] = (int(condition.group(1)) - 1, condition.group(2))
    return marks


def is_failure(marks, record):
    """Whether a trace record is one of the marked failure courses."""
    key = (record.get("source"), record.get("number"))
    if key not in marks:
        return False
    if marks[key] is None:
        return True
    index, text = marks[key]
    args = record.get("args") or []
    return index < len(args) and str(args[index].get("value")) == text


def argument_text(kind, arg):
    """One argument as a reader wants it: identifiers, codes and hashes in hexadecimal."""
    value = arg.get("value")
    if kind in ("Item", "Code", "Hash") and arg.get("kind") == "Int" and isinstance(value, int):
        return ("0x%X" if kind == "Item" else "0x%08X") % (value & 0xFFFFFFFF)
    return str(value)


def message_text(catalog, record):
    """The catalog text of a trace record with its arguments filled in."""
    args = [a if isinstance(a, dict) else {"value": a} for a in record.get("args") or []]
    row = catalog.rows.get((record.get("source"), record.get("number"))) if catalog else None
    if row is None:
        shown = ", ".join(str(a.get("value")) for a in args)
        return "(not in the catalog)" + (f": {shown}" if shown else "")

    def fill(match):
        index = int(match.group(1)) - 1
        if not 0 <= index < len(args):
            return match.group(0)
        return argument_text(row.kinds[index] if index < len(row.kinds) else "", args[index])
    return re.sub(r"%(\d+)", fill, row.text)


def record_line(catalog, record):
    """time, source, number, level name and the filled-in text of one trace record."""
    level = LEVEL_NAMES.get(record.get("level"), str(record.get("level")))
    return (f"{record.get('time')} {record.get('source')} {record.get('number')} {level} "
            f"{message_text(catalog, record)}")


_SOURCE_ROW = re.compile(
    r'\{Source::(\w+),\s*"(\w+)",\s*Guid\("([0-9a-fA-F-]{36})"\)\}')


def read_sources(provider_cpp):
    """The trace sources and message GUIDs from the provider's table."""
    with open(provider_cpp, encoding="utf-8") as f:
        text = f.read()
    sources = {}
    for enum_name, name, guid in _SOURCE_ROW.findall(text):
        if enum_name != name:
            raise CatalogError(f"{provider_cpp}: source {enum_name} is named {name!r}")
        sources[name] = TraceSource(name, guid.lower())
    if not sources:
        raise CatalogError(f"{provider_cpp}: no trace source table found")
    return sources


def read_control_guid(provider_cpp):
    """The provider's control GUID, lower case, or CatalogError."""
    with open(provider_cpp, encoding="utf-8") as f:
        match = re.search(r'kControlGuid\s*=\s*Guid\("([0-9a-fA-F-]{36})"\)', f.read())
    if not match:
        raise CatalogError(f"{provider_cpp}: no control GUID found")
    return match.group(1).lower()


def _strip_comments(text):
    # Keeps line numbers: comments become blanks, newlines stay.
    def blank(match):
        return re.sub(r"[^\n]", " ", match.group(0))
    pattern = r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\''
    return re.sub(pattern, lambda m: blank(m) if m.group(0).startswith("/") else m.group(0),
                  text, flags=re.S)


def _split_top_level(text):
    parts, depth, current, quote = [], 0, [], None
    i = 0
    while i < len(text):
        c = text[i]
        if quote:
            current.append(c)
            if c == "\\" and i + 1 < len(text):
                current.append(text[i + 1])
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            current.append(c)
        elif c in "([{":
            depth += 1
            current.append(c)
        elif c in ")]}":
            depth -= 1
            current.append(c)
        elif c == "," and depth == 0:
            parts.append("".join(current).strip())
            current = []
        else:
            current.append(c)
        i += 1
    tail = "".join(current).strip()
    if tail or parts:
        parts.append(tail)
    return parts


def _call_body(text, open_paren):
    """The text between the parenthesis at open_paren and its match."""
    depth, quote = 0, None
    for i in range(open_paren, len(text)):
        c = text[i]
        if quote:
            if c == "\\":
                continue
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        elif c == "(":
            depth += 1
        elif c == ")":
            depth -= 1
            if depth == 0:
                return text[open_paren + 1:i]
    return None


_HELPER = re.compile(r"^(?:::)?(?:qm::)?(?:trace::)?(\w+)\s*\(")


def scan_trace_points(root, skip=()):
    """Every QM_TRACE point under root (C++ files), or CatalogError."""
    points, errors = [], []
    for directory, _, files in os.walk(root):
        for name in sorted(files):
            if not name.endswith((".cpp", ".h")):
                continue
            path = os.path.join(directory, name)
            if os.path.normpath(path) in {os.path.normpath(s) for s in skip}:
                continue
            with open(path, encoding="utf-8") as f:
                text = _strip_comments(f.read())
            for match in re.finditer(r"\bQM_TRACE\s*\(", text):
                line = text.count("\n", 0, match.start()) + 1
                where = f"{path}:{line}"
                body = _call_body(text, match.end() - 1)
                if body is None:
                    errors.append(f"{where}: unterminated QM_TRACE")
                    continue
                fields = _split_top_level(body)
                if len(fields) < 4 or not fields[1].isdigit():
                    errors.append(f"{where}: QM_TRACE needs literal source, number, level, flag")
                    continue
                kinds = []
                for arg in fields[4:]:
                    helper = _HELPER.match(arg)
                    if not helper or helper.group(1) not in HELPER_KINDS:
                        errors.append(f"{where}: argument {arg!r} is not built by an argument helper")
                        break
                    kinds.append(HELPER_KINDS[helper.group(1)])
                else:
                    points.append(TracePoint(fields[0], int(fields[1]), fields[2], fields[3],
                                             kinds, where))
    if errors:
        raise CatalogError("\n".join(errors))
    return points
