"""write_sse: the field lines of one event in their fixed order, line breaks in the id, the event
name and the comment (a lone CR included) against a plain-Python model of what an event-stream
client reads, write_data() through the event's table, and the errors of bad events."""

import ctypes
import re

import pytest
from hypothesis import given, strategies as st

from conftest import bind_export
from quillmoth import scribe
from quillmoth.contents import ServerSentEvent, TextServerSentEvent

# What an event-stream client reads as a line end: CR LF, LF, and a lone CR.
CLIENT_BREAK = re.compile(r"\r\n|\r|\n")


def model(event):
    """The bytes of `event` as plain Python: every field free of line breaks a client would see."""
    lines = []
    if event.id:
        lines.append("id: " + CLIENT_BREAK.sub("", event.id))
    if event.comment:
        lines += [": " + piece for piece in CLIENT_BREAK.split(event.comment)]
    if event.event:
        lines.append("event: " + CLIENT_BREAK.sub("", event.event))
    if event.data:
        lines.append("data: " + event.write_data())
    if event.retry >= 0:
        lines.append(f"retry: {event.retry}")
    return "".join(line + "\n" for line in lines).encode() + b"\n"


@pytest.mark.parametrize("fields, expected", [
    (dict(data="1"), b"data: 1\n\n"),
    (dict(data=""), b"\n"),
    (dict(data=0, retry=-5), b"\n"),
    (dict(data="", retry=0), b"retry: 0\n\n"),
    (dict(data="", id="a1\nb1"), b"id: a1b1\n\n"),
    (dict(data="", comment="a\r\nb"), b": a\n: b\n\n"),
    (dict(data="", comment="a\n"), b": a\n: \n\n"),
    (dict(data="1", event="tick", id="7", retry=1500, comment="x\ny"),
     b"id: 7\n: x\n: y\nevent: tick\ndata: 1\nretry: 1500\n\n"),
    (dict(retry=3, comment="c", data="d", event="e", id="i"), b"id: i\n: c\nevent: e\ndata: d\nretry: 3\n\n"),
    (dict(data="caf\u00e9", id="\u20ac"), "id: \u20ac\ndata: caf\u00e9\n\n".encode()),
    # Mended: a lone CR is a line break for a client, so it cannot inject a field.
    (dict(data="", id="1\rdata: spoofed"), b"id: 1data: spoofed\n\n"),
    (dict(data="", event="x\revent: y"), b"event: xevent: y\n\n"),
    (dict(data="", comment="x\rdata: spoofed\r"), b": x\n: data: spoofed\n: \n\n"),
])
def test_fields_in_their_order(fields, expected):
    assert scribe.write_sse(TextServerSentEvent(**fields)) == expected


LINE_TEXT = st.text(alphabet="ab\u00e9\u20ac: \r\n", max_size=12)


@given(st.one_of(st.none(), LINE_TEXT), st.one_of(st.none(), LINE_TEXT), st.one_of(st.none(), LINE_TEXT),
       st.one_of(st.just(""), st.text(alphabet="xy\u00e9\n", max_size=8)), st.integers(-3, 2**31 - 1))
def test_against_the_model_and_no_text_starts_a_field(id_, comment, event_name, data, retry):
    event = TextServerSentEvent(data, event=event_name, id=id_, retry=retry, comment=comment)
    written = scribe.write_sse(event)
    assert written == model(event)
    # Read as a client reads it: one line per field line, the fields' own text never a line of its own.
    lines = CLIENT_BREAK.split(written.decode())
    names = [line.split(":", 1)[0] for line in lines[:-2]]
    assert lines[-2:] == ["", ""] and all(name in ("id", "", "event", "data", "retry") for name in names)
    assert names.count("id") == bool(id_) and names.count("event") == bool(event_name)


def test_write_data_goes_through_the_table():
    class Shouting(ServerSentEvent):
        def write_data(self):
            return str(self.data).upper()

    class Unset(ServerSentEvent):
        def write_data(self):
            raise AssertionError("not called for falsy data")

    assert scribe.write_sse(Shouting("hi", id="1")) == b"id: 1\ndata: HI\n\n"
    assert scribe.write_sse(ServerSentEvent({"a": [1]})) == b'data: {"a":[1]}\n\n'
    assert scribe.write_sse(Unset([], id="2")) == b"id: 2\n\n"


@pytest.mark.parametrize("result, error, message", [
    (None, AttributeError, "'NoneType' object has no attribute 'encode'"),
    (b"bytes", AttributeError, "'bytes' object has no attribute 'encode'"),
    (KeyError("inner"), KeyError, "inner"),
    ("\ud800", UnicodeEncodeError, "surrogates not allowed"),
])
def test_write_data_failures_propagate(result, error, message):
    class Event(ServerSentEvent):
        def write_data(self):
            if isinstance(result, Exception):
                raise result
            return result

    with pytest.raises(error, match=message):
        scribe.write_sse(Event("x"))


@pytest.mark.parametrize("argument", [None, "data: x", TextServerSentEvent])
def test_only_events_are_written(argument):
    with pytest.raises(TypeError, match="Argument 'event' has incorrect type"):
        scribe.write_sse(argument)


def test_the_native_export_writes_the_same():
    write_sse = bind_export(scribe, "write_sse", ctypes.py_object, ctypes.py_object, ctypes.c_int)
    event = TextServerSentEvent("a\nb", id="x\ry", comment="c")
    assert write_sse(event, 0) == scribe.write_sse(event=event) == b"id: xy\n: c\ndata: a\ndata: b\n\n"
    with pytest.raises(TypeError, match="got int"):
        write_sse(5, 0)
