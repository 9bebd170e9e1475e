"""Fuzz target for quillmoth.url: URL(...) and everything built from a URL, plus the percent codec.

    .venv/bin/python fuzz/fuzz_url.py [corpus_dir] -max_total_time=300

Checks, for any input bytes:
  - URL(data) either succeeds or raises InvalidURL (or UnicodeDecodeError for a value that is not
    UTF-8, as documented); never another exception, never a crash;
  - a parsed URL is consistent: is_absolute matches schema, value is the input (with "/" in front
    of a leading "."), components are bytes or None;
  - base_url / with_query / with_host / with_scheme / join / + either succeed or raise their
    documented exceptions; a URL rebuilt with its own query keeps host, non-default port, path,
    query and fragment;
  - the percent codec equals urllib.parse on the input decoded as text.

The native module carries no coverage instrumentation, so the Python side (this harness and
urllib.parse, whose branches follow the shape of the input) is instrumented to give the fuzzer
its feedback, and an empty corpus directory is seeded with typical URLs first.
"""

import os
import sys
import urllib.parse

import atheris

from quillmoth.url import URL, InvalidURL, _quote, _unquote, _unquote_to_bytes, build_absolute_url, join_prefix

SEEDS = [
    b"/",
    b"/a/b?x=1#top",
    b"./x",
    b"../up/one",
    b"http://h/",
    b"https://example.org:8443/app/items?id=10&sort=desc#frag",
    b"http://u:pw@h:81/p?q",
    b"http://[::1]:8080/p",
    b"http://h",
    b"http://h?x=1",
    b"*",
    b"//double/slash",
    b"/caf%C3%A9/%E2%82%AC?q=%ZZ%",
    b"ftp://h/",
]

DEFAULT_PORTS = {b"http": 80, b"https": 443}


def effective_port(url):
    if url.port == DEFAULT_PORTS.get(url.schema):
        return 0
    return url.port


def check_url(data):
    try:
        url = URL(data)
    except InvalidURL:
        return None
    except UnicodeDecodeError:
        # Only a value that is not UTF-8 may fail this way (its text cannot go into the message).
        expected_value = b"/" + data if data.startswith(b".") else data
        try:
            expected_value.decode("utf-8")
        except UnicodeDecodeError:
            return None
        raise
    expected = b"/" + data if data.startswith(b".") else data
    assert url.value == expected, (url.value, data)
    assert url.is_absolute == (url.schema is not None)
    assert url.schema in (None, b"", b"http", b"https")
    for field in (url.host, url.path, url.query, url.fragment):
        assert field is None or type(field) is bytes
    assert 0 <= url.port <= 65535
    str(url)
    repr(url)
    assert url == URL(data)
    return url


def check_derived(url, other_bytes):
    if url.is_absolute:
        try:
            base = url.base_url()
            assert base.schema == url.schema and base.path is None and effective_port(base) == effective_port(url)
        except InvalidURL:
            pass
        for make in (lambda: url.with_host(b"example.com"), lambda: url.with_scheme(b"https")):
            try:
                make()
            except InvalidURL:
                pass
    else:
        for make in (url.base_url, lambda: url.with_host(b"h")):
            try:
                make()
                raise AssertionError("relative URL accepted")
            except ValueError:
                pass
    try:
        same = url.with_query(url.query)
    except InvalidURL:
        same = None
    if same is not None and url.is_absolute:
        assert (same.schema, same.host, effective_port(same), same.path or None, same.query or None,
                same.fragment or None) == (url.schema, url.host, effective_port(url), url.path or None,
                                           url.query or None, url.fragment or None), (url.value, same.value)
    try:
        url + other_bytes
    except (InvalidURL, ValueError):
        pass
    try:
        build_absolute_url(b"https", b"h", url.path or b"", other_bytes)
    except InvalidURL:
        pass
    except UnicodeDecodeError:
        pass


def check_codec(data):
    text = data.decode("utf-8", "surrogateescape")
    for value in (text, data):
        try:
            expected = urllib.parse.quote(value)
        except UnicodeEncodeError:
            try:
                _quote(value)
                raise AssertionError("quote accepted what urllib.parse rejects")
            except UnicodeEncodeError:
                pass
        else:
            assert _quote(value) == expected, value
        assert _unquote(value) == urllib.parse.unquote(value), value
    assert _unquote_to_bytes(data) == urllib.parse.unquote_to_bytes(data)
    prefix, _, path = text.partition("|")
    expected_join = None
    result = join_prefix(prefix, path)
    if not prefix:
        expected_join = path
    else:
        if not prefix.startswith("/"):
            prefix = "/" + prefix
        if not path:
            expected_join = prefix + "/"
        elif prefix.endswith("/") and path.startswith("/"):
            expected_join = prefix + path[1:]
        elif not prefix.endswith("/") and not path.startswith("/"):
            expected_join = prefix + "/" + path
        else:
            expected_join = prefix + path
    assert result == expected_join


def TestOneInput(data):
    head, _, tail = data.partition(b"\n")
    url = check_url(head)
    if url is not None:
        check_derived(url, tail or b"/x")
    check_url(tail)
    check_codec(data)


def main():
    corpus = next((arg for arg in sys.argv[1:] if not arg.startswith("-")), None)
    if corpus and os.path.isdir(corpus) and not os.listdir(corpus):
        for index, seed in enumerate(SEEDS):
            with open(os.path.join(corpus, f"seed{index}"), "wb") as out:
                out.write(seed + b"\n" + SEEDS[(index + 3) % len(SEEDS)])
    atheris.instrument_all()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
