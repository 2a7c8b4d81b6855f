"""What the demo report says about one run, from what the run left behind:
its trace records, the kept values before it, the files delivered and the
communications calls. The report reads the program's own trace of its
decision; it never decides anything itself.
"""

import datetime
import json
import re

HASH_ITEM = 0x4009501
TIME_ITEM = 0x4009502
RESEND_DAYS = 7
OLE_EPOCH = datetime.datetime(1899, 12, 30, tzinfo=datetime.timezone.utc)

# Run driver messages that stop a run before its change decision, and after it.
STOPS = {10: "another instance was running", 12: "the agent's main process was not found",
         13: "the agent's service was not ready in time", 14: "no SDK activation context",
         15: "the collector was not created", 16: "the collector could not be initialised",
         17: "the collection failed", 21: "there was no profile object"}
NOT_WRITTEN = {26: "the profile document could not be serialised", 25: "the profile has no MUID",
               24: "the data file could not be written"}
UPLOAD_FAILURES = (10, 11, 17, 19, 21, 22)
STATE_NOT_KEPT = {159: "collector not initialised", 161: "reduced document not built",
                  162: "hash not written", 164: "upload time not written", 166: "an exception"}
# Members of the delivered document that the change decision leaves out.
OUTSIDE_DECISION = ("DetectionCounters", "FileVersion")


def read_json_lines(path):
    """Lines of a JSON-lines file, split at "\\n" only: logged texts may hold
    U+0085, U+2028 or U+2029, which str.splitlines() would also split at."""
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8", errors="replace")
    except FileNotFoundError:
        return []
    return [line for line in text.split("\n") if line.strip()]


def parse_json_lines(lines):
    records = []
    for line in lines:
        try:
            records.append(json.loads(line))
        except ValueError:
            records.append({"unreadable": line})
    return records


def _find(traces, source, numbers):
    return [t for t in traces if t.get("source") == source and t.get("number") in numbers]


def _args(record):
    return [a.get("value") for a in record.get("args", [])]


def time_of(record):
    text = record.get("time", "").rstrip("Z")
    try:
        return datetime.datetime.fromisoformat(text).replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return None


def hex32(value):
    return "0x%08X" % (int(value) & 0xFFFFFFFF)


def kept_time(value, now):
    """A kept date in the SDK's value syntax ({"type": "VT_DATE", "value": ...}):
    an OLE date, "YYYY-MM-DD[THH:MM:SS]" or "now" with terms like "-8d"."""
    if not isinstance(value, dict):
        return None
    raw = value.get("value")
    if isinstance(raw, (int, float)):
        return OLE_EPOCH + datetime.timedelta(days=raw)
    if not isinstance(raw, str):
        return None
    if raw.startswith("now"):
        if now is None:
            return None
        units = {"d": "days", "h": "hours", "m": "minutes", "s": "seconds"}
        moment = now
        for sign, amount, unit in re.findall(r"([+-])(\d+)([dhms])", raw[3:]):
            delta = datetime.timedelta(**{units[unit]: int(amount)})
            moment = moment + delta if sign == "+" else moment - delta
        return moment
    try:
        return datetime.datetime.fromisoformat(raw).replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return None


def kept_text(state, now=None):
    """The two kept values as the report shows them."""
    if state is None:
        return "nothing kept"
    parts = []
    hash_value = state.get("0x%X" % HASH_ITEM, state.get("0x%x" % HASH_ITEM))
    time_value = state.get("0x%X" % TIME_ITEM, state.get("0x%x" % TIME_ITEM))
    if isinstance(hash_value, dict) and isinstance(hash_value.get("value"), int):
        parts.append("hash %s" % hex32(hash_value["value"]))
    else:
        parts.append("no hash")
    moment = kept_time(time_value, now)
    if moment is not None:
        parts.append("last upload %s" % moment.strftime("%Y-%m-%d %H:%M:%S UTC"))
    elif time_value is not None:
        parts.append("last upload %s" % json.dumps(time_value.get("value")))
    else:
        parts.append("no upload time")
    return ", ".join(parts)


def _reason(traces, changed, state_before, decided_at):
    kept_hash = [r for r in _find(traces, "Collector", (149,)) if _args(r)[:1] == [HASH_ITEM]]
    hash_unread = [r for r in _find(traces, "Collector", (148,)) if _args(r)[:1] == [HASH_ITEM]]
    new_hash = _find(traces, "Collector", (163,))
    kept = state_before or {}
    if changed:
        if hash_unread or not kept_hash:
            # A store that holds a hash and still fails the read is a fault, not a first run.
            return "the kept hash could not be read" if "0x%X" % HASH_ITEM in kept else "nothing kept yet"
        now_hash = hex32(_args(new_hash[0])[0]) if new_hash else "not kept"
        return "profile changed (hash %s, kept %s)" % (now_hash, hex32(_args(kept_hash[0])[1]))
    if _find(traces, "Collector", (168,)):
        return "the kept upload time could not be read" if "0x%X" % TIME_ITEM in kept else "nothing kept yet"
    moment = kept_time(kept.get("0x%X" % TIME_ITEM), decided_at)
    if moment is None or decided_at is None:
        return "resend due (more than %d days since the last upload)" % RESEND_DAYS
    return "resend due (last upload %d days ago)" % (decided_at - moment).days


def verdict(traces, state_before, delivered, exit_code):
    """One line: whether the profile was sent and why, or where the run stopped."""
    abnormal = exit_code not in (0, -1)
    decisions = _find(traces, "RunDriver", (18, 19))
    if not decisions:
        stops = _find(traces, "RunDriver", tuple(STOPS))
        if stops:
            return "not sent: the run stopped: " + STOPS[stops[0]["number"]]
        if abnormal:
            return "not sent: the program ended abnormally (exit code %d) before its change decision" % exit_code
        return "not sent: the run stopped before its change decision (exit code %d)" % exit_code
    decision = decisions[-1]
    changed, resend = (a == "True" for a in _args(decision)[:2])
    decided_at = time_of(decision)
    if decision["number"] == 18:
        moment = kept_time((state_before or {}).get("0x%X" % TIME_ITEM), decided_at)
        when = "the upload of %s" % moment.strftime("%Y-%m-%d %H:%M UTC") if moment else "the last upload"
        return "not sent: unchanged since %s (resend after %d days)" % (when, RESEND_DAYS)
    reason = _reason(traces, changed, state_before, decided_at)
    stopped = _find(traces, "RunDriver", tuple(NOT_WRITTEN) + (21,))
    if stopped:
        number = stopped[0]["number"]
        return "not sent: %s (wanted: %s)" % (NOT_WRITTEN.get(number) or STOPS[number], reason)
    results = [_args(r)[0] for r in _find(traces, "Upload", (16,))]
    if "succeeded" in results:
        line = "sent: " + reason
        not_kept = _find(traces, "Collector", tuple(STATE_NOT_KEPT))
        if not_kept:
            line += "; but the state was not kept (%s)" % STATE_NOT_KEPT[not_kept[0]["number"]]
        if not delivered:
            line += "; Send answered true, yet no file was delivered"
        return line
    if results or _find(traces, "Upload", UPLOAD_FAILURES):
        return "not sent: the upload failed (state not kept; wanted: %s)" % reason
    if abnormal:
        return "not sent: the program ended abnormally (exit code %d) after deciding to send (%s)" % (
            exit_code, reason)
    return "not sent: the run ended without an upload result (wanted: %s)" % reason


def flatten(value, path=""):
    """Members of a JSON document by path: "Products[1].Licenses[0].ExpirationDate"."""
    if isinstance(value, dict):
        items = {}
        for key, member in value.items():
            items.update(flatten(member, "%s.%s" % (path, key) if path else key))
        return items or {path: {}}
    if isinstance(value, list):
        items = {}
        for index, member in enumerate(value):
            items.update(flatten(member, "%s[%d]" % (path, index)))
        return items or {path: []}
    return {path: value}


def member_diff(earlier, later):
    """Lines "path: old → new" for the members that differ between two documents."""
    before, after = flatten(earlier), flatten(later)
    lines = []
    for path in sorted(set(before) | set(after), key=_path_order(before, after)):
        if before.get(path, _ABSENT) == after.get(path, _ABSENT):
            continue
        line = "%s: %s → %s" % (path, _shown(before.get(path, _ABSENT)), _shown(after.get(path, _ABSENT)))
        if path.split(".")[0].split("[")[0] in OUTSIDE_DECISION:
            line += " (not part of the change decision)"
        lines.append(line)
    return lines


_ABSENT = object()


def _path_order(before, after):
    order = {path: i for i, path in enumerate(list(before) + [p for p in after if p not in before])}
    return lambda path: order[path]


def _shown(value):
    return "(absent)" if value is _ABSENT else str(value)


def tracking_lines(calls):
    """One line per tracking request of the communications library's log."""
    requests = {}
    order = []
    lines = []
    for call in calls:
        name = call.get("call")
        if name == "CreateRequest":
            if not call.get("result"):
                lines.append("CreateRequest(%s) gave no request" % call.get("url"))
                continue
            requests[call["result"]] = {"url": call.get("url"), "params": [], "settings": "not submitted"}
            order.append(call["result"])
            continue
        request = requests.get(call.get("request"))
        if request is None:
            continue
        if call.get("raised"):
            request.setdefault("failed", []).append("%s raised %s" % (name, call["raised"]))
        elif name in ("Start", "AddParameter", "Prepare", "Submit") and call.get("result") is False:
            request.setdefault("failed", []).append(name + " false")
        if name == "Start":
            request.update(event=call.get("eventName"), muid=call.get("muid"), custom=call.get("customId"))
        elif name == "AddParameter":
            request["params"].append("%s=%s" % (call.get("name"), call.get("value")))
        elif name == "Submit":
            request["settings"] = "settings passed" if call.get("settings") else "no settings passed"
    for key in order:
        r = requests[key]
        line = "%s %s event %s, parameters {%s}, MUID %s, custom identifier %s, %s" % (
            key, r["url"], r.get("event", "(not started)"), ", ".join(r["params"]), r.get("muid") or "(empty)",
            r.get("custom") or "(empty)", r["settings"])
        if r.get("failed"):
            line += " (" + ", ".join(r["failed"]) + ")"
        lines.append(line)
    return lines


# Catalog words after which an integer argument is an SDK item identifier
# (always in hexadecimal, as the SDK's documentation writes them) or an error
# code (in hexadecimal when it is an HRESULT, i.e. negative).
_HEX_ARGUMENT = re.compile(r"(item|kept value|kept date|error) %(\d+)")


# The kept values are profile hashes: 32-bit, shown as the verdict shows them.
_HASH_ARGUMENT = re.compile(r"(?:kept value %\d+ (?:is|written as)|profile hash) %(\d+)")


def hex_arguments(catalog_text):
    """{argument index from 0: "item", "error" or "hash"} for a catalog text."""
    found = {int(n) - 1: ("error" if word == "error" else "item")
             for word, n in _HEX_ARGUMENT.findall(catalog_text or "")}
    found.update({int(n) - 1: "hash" for n in _HASH_ARGUMENT.findall(catalog_text or "")})
    return found


def message_text(text, args):
    """A catalog text with its arguments filled in, identifiers and HRESULTs in hexadecimal."""
    if text is None:
        return "message (not in the catalog): " + ", ".join(str(a.get("value")) for a in args)
    hexed = hex_arguments(text)

    def fill(match):
        index = int(match.group(1)) - 1
        if not 0 <= index < len(args):
            return match.group(0)
        arg = args[index]
        value = arg.get("value")
        if index in hexed and arg.get("kind") == "Int" and isinstance(value, int):
            if hexed[index] == "item":
                return "0x%X" % (value & 0xFFFFFFFF)
            if hexed[index] == "hash":
                return hex32(value)
            if value < 0:
                return hex32(value)
        return str(value)
    return re.sub(r"%(\d+)", fill, text)
