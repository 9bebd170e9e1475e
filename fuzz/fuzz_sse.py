"""Fuzz target for write_sse (quillmoth.scribe): the bytes of one server-sent event.

    mkdir -p /tmp/sse-corpus
    .venv/bin/python fuzz/fuzz_sse.py -max_total_time=300 /tmp/sse-corpus

An empty corpus directory is first filled with the SEEDS below. The input builds one event, a
TextServerSentEvent (text data) or a ServerSentEvent (data written as JSON: text, numbers, lists,
objects, None), with fuzzed id, event name, comment and retry. What write_sse gives is read back
with the event-stream parsing algorithm browsers follow (lines end at CR LF, CR or LF; "field:
value" with one optional space after the colon; a line starting with ':' is a comment), and must
be one event, ended by the only empty line, as UTF-8, whose fields are those of the event:
  - data: the text's lines joined with LF (or the JSON encoding); a data whose truth value is
    false (None, '', 0, [], {}) writes no data line;
  - id and event name: the value with CR and LF taken out, left out when empty;
  - the comment's lines, each as a comment line; retry when it is 0 or more.
Text that cannot be encoded as UTF-8 (a lone surrogate) may only raise UnicodeEncodeError. Any
other exception, a mismatch or a crash is a finding.

The native code carries no coverage instrumentation, so the checks below are instrumented.
"""

import re

import atheris
import msgspec

from _harness import fuzz

from quillmoth.contents import ServerSentEvent, TextServerSentEvent
from quillmoth.scribe import write_sse

SEEDS = [
    b"\x00\x05hello\x02id\x04tick\x00\x00",
    b"\x01\x0ba\r\nb\rc\nd\x00\x03\r\n\x00",
    b"\x02\x10\xff\xfe\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d",
    b"\x03\x00\x00\x00\x00\xff\xff\xff\x7f",
]
LINE_BREAK = re.compile("\r\n|\r|\n")


def parse_event(text):
    """The fields of the event stream `text` per the browsers' algorithm: a list of events, each a
    dict of its data lines, id, event name, retry and comments."""
    events, current = [], {"data": [], "comments": []}
    lines = LINE_BREAK.split(text)
    assert lines[-1] == "", "the stream does not end with a line break"
    for line in lines[:-1]:
        if line == "":
            events.append(current)
            current = {"data": [], "comments": []}
            continue
        if line.startswith(":"):
            current["comments"].append(line[1:].removeprefix(" "))
            continue
        field, colon, value = line.partition(":")
        value = value.removeprefix(" ") if colon else ""
        if field == "data":
            current["data"].append(value)
        elif field in ("id", "event", "retry"):
            assert field not in current, f"{field} given twice"
            current[field] = value
        else:
            raise AssertionError(f"unknown field {field!r}")
    assert current == {"data": [], "comments": []}, "a field after the event's end"
    return events


def without_breaks(value):
    return value.replace("\r", "").replace("\n", "")


def json_value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 7 if depth < 3 else 4)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeInt(8)
    if kind == 3:
        return fdp.ConsumeRegularFloat()
    if kind == 4:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 24))
    if kind == 5:
        return [json_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    return {fdp.ConsumeUnicodeNoSurrogates(6): json_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))}


def optional_text(fdp):
    return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 16)) if fdp.ConsumeBool() else None


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    as_text = fdp.ConsumeBool()
    value = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 64)) if as_text else json_value(fdp)
    event_id, name, comment = optional_text(fdp), optional_text(fdp), optional_text(fdp)
    retry = fdp.ConsumeIntInRange(-3, 2**31 - 1)
    cls = TextServerSentEvent if as_text else ServerSentEvent
    event = cls(value, event=name, id=event_id, retry=retry, comment=comment)
    try:
        written = write_sse(event)
    except UnicodeEncodeError:
        texts = [t for t in (value if as_text else "", event_id, name, comment) if t]
        assert any(re.search("[\ud800-\udfff]", t) for t in texts) or not as_text, event
        return
    assert isinstance(written, bytes) and written.endswith(b"\n"), written
    events = parse_event(written.decode("utf-8"))
    assert len(events) == 1, written
    (got,) = events
    if not value:
        expected_data = []
    elif as_text:
        expected_data = LINE_BREAK.split(value)
    else:
        expected_data = [msgspec.json.encode(value).decode()]
    assert got["data"] == expected_data, (written, value)
    for key, field in (("id", event_id), ("event", name)):
        assert got.get(key) == (without_breaks(field) if field else None), (written, key, field)
    assert got["comments"] == (LINE_BREAK.split(comment) if comment else []), (written, comment)
    assert got.get("retry") == (str(retry) if retry >= 0 else None), (written, retry)


if __name__ == "__main__":
    fuzz(test_one_input, SEEDS)
