"""What the demo report says about one run, from what the run left behind:
its trace records, the kept values before it, the files delivered and the
communications calls. The report reads the program's own trace of its
decision; it never decides anything itself.
"""

import datetime
import json
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import trace_catalog as tc  # noqa: E402

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
    """One dict per line; a line that is no JSON object is kept as {"unreadable": line}."""
    records = []
    for line in lines:
        try:
            record = json.loads(line)
        except ValueError:
            record = None
        records.append(record if isinstance(record, dict) else {"unreadable": line})
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


def kept_items(state):
    """The value store as {item: value}; item keys are "0x..." or decimal text."""
    items = {}
    for key, value in (state.items() if isinstance(state, dict) else ()):
        try:
            items[int(key, 16) if key.lower().startswith("0x") else int(key, 10)] = value
        except ValueError:
            continue
    return items


def _shown(value):
    """A kept value as the scenario or the store holds it: "VT_DATE 2958466", "0"."""
    if isinstance(value, dict) and "type" in value:
        return "%s %s" % (value["type"], json.dumps(value.get("value")))
    return json.dumps(value)


def _relative(raw, now):
    units = {"d": "days", "h": "hours", "m": "minutes", "s": "seconds"}
    moment = now
    for sign, amount, unit in re.findall(r"([+-])(\d+)([dhms])", raw[3:]):
        delta = datetime.timedelta(**{units[unit]: int(amount)})
        moment = moment + delta if sign == "+" else moment - delta
    return moment


def kept_time(value, now):
    """A kept VT_DATE in the SDK's value syntax: an OLE date, "YYYY-MM-DD[THH:MM:SS]" or
    "now" with terms like "-8d". None for anything that is no date a calendar holds."""
    if not isinstance(value, dict) or value.get("type") != "VT_DATE":
        return None
    raw = value.get("value")
    try:
        if isinstance(raw, (int, float)) and not isinstance(raw, bool):
            return OLE_EPOCH + datetime.timedelta(days=raw)
        if isinstance(raw, str) and raw.startswith("now"):
            return _relative(raw, now) if now is not None else None
        if isinstance(raw, str):
            return datetime.datetime.fromisoformat(raw).replace(tzinfo=datetime.timezone.utc)
    except (OverflowError, ValueError):
        pass
    return None


def kept_hash(value):
    """A kept hash as the program reads it (the low 32 bits as they lie), or None."""
    raw = value.get("value") if isinstance(value, dict) else value
    if isinstance(raw, str):
        try:
            raw = int(raw, 0)
        except ValueError:
            return None
    return raw & 0xFFFFFFFF if isinstance(raw, int) and not isinstance(raw, bool) else None


def kept_text(state, now=None):
    """The two kept values as the report shows them; odd ones as they are."""
    if state is None:
        return "nothing kept"
    items = kept_items(state)
    hash_value, time_value = items.get(HASH_ITEM), items.get(TIME_ITEM)
    hashed = kept_hash(hash_value)
    if hash_value is None:
        parts = ["no hash"]
    elif hashed is not None:
        parts = ["hash %s" % hex32(hashed)]
    else:
        parts = ["kept hash: %s, not a number" % _shown(hash_value)]
    moment = kept_time(time_value, now or datetime.datetime.now(datetime.timezone.utc))
    if time_value is None:
        parts.append("no upload time")
    elif moment is not None:
        parts.append("last upload %s" % moment.strftime("%Y-%m-%d %H:%M:%S UTC"))
    else:
        parts.append("kept time: %s, not a date" % _shown(time_value))
    return ", ".join(parts)


def _reason(traces, changed, state_before, decided_at):
    read_hash = [r for r in _find(traces, "Collector", (149,)) if _args(r)[:1] == [HASH_ITEM]]
    hash_unread = [r for r in _find(traces, "Collector", (148,)) if _args(r)[:1] == [HASH_ITEM]]
    new_hash = _find(traces, "Collector", (163,))
    kept = kept_items(state_before)
    if changed:
        if hash_unread or not read_hash:
            # A store that holds a hash and still fails the read is a fault, not a first run.
            return "the kept hash could not be read" if HASH_ITEM in kept else "nothing kept yet"
        now_hash = hex32(_args(new_hash[0])[0]) if new_hash else "not kept"
        return "profile changed (hash %s, kept %s)" % (now_hash, hex32(_args(read_hash[0])[1]))
    if _find(traces, "Collector", (168,)):
        return "the kept upload time could not be read" if TIME_ITEM in kept else "nothing kept yet"
    moment = kept_time(kept.get(TIME_ITEM), decided_at)
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
        moment = kept_time(kept_items(state_before).get(TIME_ITEM), decided_at)
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
        line = "%s: %s → %s" % (path, _member(before.get(path, _ABSENT)), _member(after.get(path, _ABSENT)))
        if path.split(".")[0].split("[")[0] in OUTSIDE_DECISION:
            line += " (not part of the change decision)"
        lines.append(line)
    return lines


_ABSENT = object()


def _path_order(before, after):
    order = {path: i for i, path in enumerate(list(before) + [p for p in after if p not in before])}
    return lambda path: order[path]


def _member(value):
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


def failure_lines(traces, catalog, marks):
    """The run's failure courses, as the catalog marks them: source, number and text."""
    return ["%s %s: %s" % (t.get("source"), t.get("number"), tc.message_text(catalog, t))
            for t in traces if "unreadable" not in t and tc.is_failure(marks, t)]
