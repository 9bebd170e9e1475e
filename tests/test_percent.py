"""The native percent codec against urllib.parse, on random and adversarial text.

The codec is reached through the private helpers of quillmoth.url: ``_quote`` (quote with the
default safe set "/"), ``_unquote`` (UTF-8, errors="replace") and ``_unquote_to_bytes``.
"""

import urllib.parse

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from quillmoth.url import _quote, _unquote, _unquote_to_bytes
from conftest import examples

# Text biased towards what breaks percent codecs: escapes (valid, truncated, with bad digits),
# encoded UTF-8 fragments (valid, overlong, truncated, surrogate encodings), raw non-ASCII and
# lone surrogates.
_ESCAPE_PIECES = [
    "%", "%%", "%2", "%2F", "%2f", "%g0", "%0g", "%zz", "%20", "%25", "%41", "%7E", "%00", "%FF", "%ff",
    "%C3", "%C3%A9", "%c3%a9", "%E2%82", "%E2%82%AC", "%F0%9F%98%80", "%F0%9F%98", "%ED%A0%80",
    "%C0%AF", "%E0%80%AF", "%F4%90%80%80", "%80", "%BF%BF", "%FE", "/", "?", "#", "+", " ", "~",
    "é", "€", "😀", "\ud800", "\udfff", "\x00", "\x7f", "\x80", "ÿ", "a", "Z", "9",
]

adversarial_text = st.lists(
    st.one_of(st.sampled_from(_ESCAPE_PIECES), st.text(max_size=4)), max_size=24
).map("".join)

any_text = st.one_of(st.text(), adversarial_text)


def _encodable(text):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _outcome(func, value):
    """The result of a call, or the exception type it raised."""
    try:
        return ("ok", type(func(value)), func(value))
    except Exception as exc:  # noqa: BLE001 - the type is what is compared
        return ("raised", type(exc))


class TestQuote:
    @settings(max_examples=examples(3000))
    @given(any_text)
    @example("")
    @example("\ud800")
    @example("a\udfffb")
    def test_str_equals_stdlib(self, text):
        assert _outcome(_quote, text) == _outcome(urllib.parse.quote, text)

    @settings(max_examples=examples(2000))
    @given(st.binary())
    @example(b"")
    @example(bytes(range(256)))
    def test_bytes_equals_stdlib(self, data):
        assert _quote(data) == urllib.parse.quote(data)
        assert _quote(bytearray(data)) == urllib.parse.quote(bytearray(data))
        assert type(_quote(data)) is str

    @pytest.mark.parametrize("text", ["", "abc", "a/b/c", "A-Z_a.z~09"])
    def test_safe_str_is_returned_unchanged(self, text):
        assert _quote(text) is text

    def test_str_subclass_gives_plain_str(self):
        class S(str):
            pass

        result = _quote(S("abc"))
        assert type(result) is str and result == "abc"

    @pytest.mark.parametrize("text", ["a b", "é", "100%", "?x=#"])
    def test_escapes_use_upper_case_hex(self, text):
        assert _quote(text) == urllib.parse.quote(text)
        assert _quote(text) != text

    def test_lone_surrogate_raises_encode_error(self):
        with pytest.raises(UnicodeEncodeError):
            _quote("x\ud800")

    @pytest.mark.parametrize("value", [None, 1, memoryview(b"a"), ["a"]])
    def test_other_types_rejected(self, value):
        with pytest.raises(TypeError):
            urllib.parse.quote(value)
        with pytest.raises(TypeError):
            _quote(value)


class TestUnquote:
    @settings(max_examples=examples(4000))
    @given(any_text)
    @example("%")
    @example("%C3é%A9")
    @example("é%C3%A9")
    @example("%E2%82\ud800%AC")
    @example("%ED%A0%80")
    @example("%F0%9F%98")
    def test_str_equals_stdlib(self, text):
        assert _unquote(text) == urllib.parse.unquote(text)

    @settings(max_examples=examples(3000))
    @given(st.one_of(st.binary(), adversarial_text.filter(_encodable).map(lambda t: t.encode("utf-8"))))
    @example(b"%")
    @example(b"%C3%28")
    @example(b"\xff%41")
    def test_bytes_equals_stdlib(self, data):
        assert _unquote(data) == urllib.parse.unquote(data)

    @pytest.mark.parametrize("text", ["", "abc", "é", "\ud800", "a+b c"])
    def test_text_without_percent_returned_unchanged(self, text):
        assert _unquote(text) is text

    def test_long_input_uses_heap_buffer(self):
        text = "%41é" * 2000 + "%E2%82%AC" * 500
        assert _unquote(text) == urllib.parse.unquote(text)
        text = "%41" * 3000
        assert _unquote(text) == "A" * 3000

    @pytest.mark.parametrize("value", [None, 1, bytearray(b"%41")])
    def test_other_types_rejected(self, value):
        with pytest.raises(TypeError):
            _unquote(value)


class TestUnquoteToBytes:
    @settings(max_examples=examples(3000))
    @given(any_text)
    def test_str_equals_stdlib(self, text):
        assert _outcome(_unquote_to_bytes, text) == _outcome(urllib.parse.unquote_to_bytes, text)

    @settings(max_examples=examples(3000))
    @given(st.one_of(st.binary(), adversarial_text.filter(_encodable).map(lambda t: t.encode("utf-8"))))
    def test_bytes_equals_stdlib(self, data):
        expected = urllib.parse.unquote_to_bytes(data)
        assert _unquote_to_bytes(data) == expected
        assert _unquote_to_bytes(bytearray(data)) == expected
        assert type(_unquote_to_bytes(bytearray(data))) is bytes

    def test_bytes_without_percent_returned_unchanged(self):
        data = b"plain/path"
        assert _unquote_to_bytes(data) is data

    @pytest.mark.parametrize(
        ("data", "expected"),
        [
            (b"%", b"%"),
            (b"%4", b"%4"),
            (b"%41%", b"A%"),
            (b"%%41", b"%A"),
            (b"%4g", b"%4g"),
            (b"%00", b"\x00"),
            (b"%fF", b"\xff"),
            (b"a%2Fb", b"a/b"),
        ],
    )
    def test_truncated_and_bad_escapes(self, data, expected):
        assert _unquote_to_bytes(data) == expected == urllib.parse.unquote_to_bytes(data)


def test_no_reference_leaks_on_success_and_error_paths():
    import sys

    values = ["a b", "abc", "%C3%A9é", b"%41", "\ud800", None]
    funcs = [_quote, _unquote, _unquote_to_bytes]

    def run():
        for _ in range(2000):
            for func in funcs:
                for value in values:
                    try:
                        func(value)
                    except (TypeError, UnicodeEncodeError):
                        pass

    run()
    before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
    import tracemalloc

    tracemalloc.start()
    run()
    first, _ = tracemalloc.get_traced_memory()
    run()
    second, _ = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    assert second - first < 64 * 1024
    if before is not None:
        assert sys.gettotalrefcount() - before < 100
