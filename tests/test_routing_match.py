"""Route matching: precedence with backtracking, captured values and their names, percent-decoding,
the built-in validators, and RouteMatch."""

import random
import re
from urllib.parse import unquote

import pytest
from conftest import examples
from hypothesis import given, settings, strategies as st

from quillmoth import routing
from quillmoth.routing import RadixNode, RadixTree, RouteMatch

from routing_support import (
    FAST_UNQUOTE_SIGNATURE,
    Route,
    fast_unquote,
    reference_match,
    tree_match_recursive,
)


def make_tree(*entries):
    tree = RadixTree()
    for entry in entries:
        tree.insert(*entry)
    return tree


# ---- the documented cases -------------------------------------------------------------------------

@pytest.mark.parametrize(
    "path, expected",
    [
        (b"/users/42", ("u", {"id": "42"})),
        (b"/users/42/", ("u", {"id": "42"})),
        (b"/USERS/42", ("u", {"id": "42"})),
        (b"users/42", ("u", {"id": "42"})),
        (b"/users//42", None),
        (b"/users/42//", None),
        (b"/users", None),
        (b"/users/42/x", None),
    ],
)
def test_named_parameter(path, expected):
    assert make_tree((b"/users/{id}", "u", ["id"])).match(path) == expected


def test_positional_keys_without_names():
    tree = make_tree((b"/users/{id}", "u"), (b"/a/b/{x}/{y}", "ab"))
    assert tree.match(b"/users/42") == ("u", {"_p_1": "42"})
    assert tree.match(b"/a/b/1/2") == ("ab", {"_p_2": "1", "_p_3": "2"})


def test_names_count_mismatch_keeps_positional_keys():
    tree = make_tree((b"/a/{x}/{y}", "r", ["only"]))
    assert tree.match(b"/a/1/2") == ("r", {"_p_1": "1", "_p_2": "2"})


def test_static_beats_parameter_and_values_are_none():
    tree = make_tree((b"/users/me", "me"), (b"/users/{id}", "u", ["id"]))
    assert tree.match(b"/users/me") == ("me", None)
    assert tree.match(b"/users/ME") == ("me", None)  # through the tree, case-insensitive
    assert tree.match(b"/users/Me/") == ("me", None)
    assert tree.match(b"/users/you") == ("u", {"id": "you"})


@pytest.mark.parametrize(
    "with_wildcard, expected",
    [(False, None), (True, ("w", {"tail": "abc"}))],
)
def test_failed_validator_falls_through_to_wildcard(with_wildcard, expected):
    tree = make_tree((b"/items/{id:int}", "i"))
    if with_wildcard:
        tree.insert(b"/items/*", "w")
    assert tree.match(b"/items/abc") == expected
    assert tree.match(b"/items/12") == ("i", {"_p_1": "12"})


@pytest.mark.parametrize(
    "path, expected",
    [
        (b"/files/a/b%20c.txt", ("f", {"tail": "a/b c.txt"})),
        (b"/files", ("f", {"tail": ""})),
        (b"/files/", ("f", {"tail": ""})),
        (b"/FILES/X", ("f", {"tail": "X"})),
    ],
)
def test_wildcard_tail(path, expected):
    assert make_tree((b"/files/*", "f")).match(path) == expected


@pytest.mark.parametrize(
    "path, expected",
    [
        (b"/static/x/Site.CSS", ("s", {"tail": "x/Site"})),
        (b"/static/.css", ("s", {"tail": ""})),
        (b"/static/x/site.js", None),
        (b"/static", None),
        (b"/static/css", None),
    ],
)
def test_wildcard_suffix(path, expected):
    assert make_tree((b"/static/*.css", "s")).match(path) == expected


@pytest.mark.parametrize("path", [b"/", b""])
def test_root_wildcard_with_suffix_never_matches_empty_tail(path):
    tree = make_tree((b"/*.css", "s"))
    assert tree.match(path) is None
    assert tree.match(b"/a.CSS") == ("s", {"tail": "a"})


def test_wildcard_renamed_by_param_names():
    tree = make_tree((b"/u/{id}/files/{rest:path}", "r", ["user", "rest"]))
    assert tree.match(b"/u/7/files/a/b") == ("r", {"user": "7", "rest": "a/b"})
    tree = make_tree((b"/u/{id}/files/*", "r", ["user", "path", "extra"]))
    assert tree.match(b"/u/7/files/a/b") == ("r", {"_p_1": "7", "tail": "a/b"})


def test_empty_tail_is_renamed_like_every_other_wildcard_match():
    # The same route gives the same keys whether or not its tail is empty.
    tree = make_tree((b"/files/{owner}/*", "f", ["owner", "rest"]))
    assert tree.match(b"/files/x/y") == ("f", {"owner": "x", "rest": "y"})
    assert tree.match(b"/files/x") == ("f", {"owner": "x", "rest": ""})
    root = make_tree((b"/{everything:path}", "all", ["everything"]))
    assert root.match(b"/") == ("all", {"everything": ""})
    assert root.match(b"/a/b") == ("all", {"everything": "a/b"})


def test_wildcard_name_from_path_parameter():
    tree = make_tree((b"/files/{rest:path}", "f"))
    assert tree.match(b"/files/a/b") == ("f", {"rest": "a/b"})
    assert tree.match(b"/files") == ("f", {"rest": ""})
    tree.root.children[b"files"].wildcard_name = ""
    assert tree.match(b"/files/a") == ("f", {"tail": "a"})


@pytest.mark.parametrize(
    "segment, value",
    [
        (b"a%2Fb", "a/b"),
        (b"caf\xc3\xa9", "café"),
        (b"\xff\xfe", "\ufffd\ufffd"),
        (b"%E2%82%AC", "€"),
        (b"%e2%82", "\ufffd"),
        (b"100%", "100%"),
        (b"%zz%4", "%zz%4"),
        (b"a+b", "a+b"),
        (b"%C3\xa9", "\ufffd\ufffd"),
        (b"\xc3%A9", "\ufffd\ufffd"),
        (b"%2525", "%25"),
    ],
)
def test_captured_values_are_decoded_once(segment, value):
    tree = make_tree((b"/v/{x}", "r", ["x"]))
    assert tree.match(b"/v/" + segment) == ("r", {"x": value})


def test_root_route():
    tree = make_tree((b"/", "root"), (b"/a", "a"))
    assert tree.match(b"/") == ("root", None)
    assert tree.match(b"") == ("root", None)
    assert make_tree((b"/a", "a")).match(b"/") is None
    # The root route is only reachable through the table if the table entry was removed.
    tree.static_routes.clear()
    assert tree.match(b"/") == ("root", None)
    assert tree.match(b"/a") == ("a", None)


def test_tree_match_does_not_use_case_of_table_entries():
    tree = make_tree((b"/Docs/Index", "d"))
    assert tree.match(b"/Docs/Index") == ("d", None)
    assert tree.match(b"/docs/index/") == ("d", None)


# ---- backtracking ---------------------------------------------------------------------------------

def test_backtracks_from_static_branch_to_parameter():
    tree = make_tree((b"/a/b/c/e", "static"), (b"/a/{x}/c/d", "param", ["x"]))
    assert tree.match(b"/a/b/c/e") == ("static", None)
    assert tree.match(b"/a/b/c/d") == ("param", {"x": "b"})


def test_backtracks_through_several_levels_to_wildcard():
    tree = make_tree(
        (b"/a/b/c/d/e", "s"),
        (b"/a/{p}/c/{q:int}/f", "p"),
        (b"/a/b/{r}/d/g", "r"),
        (b"/a/*", "w"),
    )
    assert tree.match(b"/a/b/c/d/e") == ("s", None)
    assert tree.match(b"/a/b/c/9/f") == ("p", {"_p_1": "b", "_p_3": "9"})
    assert tree.match(b"/a/b/c/d/g") == ("r", {"_p_2": "c"})
    assert tree.match(b"/a/b/c/d/h") == ("w", {"tail": "b/c/d/h"})
    # A capture made on a failed branch does not leak into the final answer.
    assert tree.match(b"/a/b/c/x/f") == ("w", {"tail": "b/c/x/f"})


def test_static_node_without_route_does_not_stop_the_search():
    tree = make_tree((b"/a/b/c", "deep"), (b"/a/{x}", "param"))
    assert tree.match(b"/a/b") == ("param", {"_p_1": "b"})


def test_wildcard_at_inner_level_after_deeper_failure():
    tree = make_tree((b"/x/*", "wx"), (b"/x/{p}/*.png", "png"))
    assert tree.match(b"/x/a/b.png") == ("png", {"_p_1": "a", "tail": "b"})
    assert tree.match(b"/x/a/b.gif") == ("wx", {"tail": "a/b.gif"})


# ---- built-in validators --------------------------------------------------------------------------

SEGMENTS = [b"0", b"12", b"12\n", b"12\n\n", b"\n", b"", b"1a", b"-1", b"+1", b"1.5", b"1.", b".5", b"1.5\n",
            b"\xd9\xa1", b"1e3", b"12 ", b" 12", b"1.5.5", b"00000000-0000-0000-0000-000000000000",
            b"ABCDEF01-abcd-EF01-2345-6789abcdef01\n", b"ABCDEF01-abcd-EF01-2345-6789abcdef0g",
            b"ABCDEF01-abcd-EF01-2345-6789abcdef011", b"ABCDEF01abcd-EF01-2345-6789abcdef01x"]


@pytest.mark.parametrize("kind", ["int", "float", "uuid"])
def test_validators_agree_with_their_expressions(kind):
    rx = {"int": routing._INT_RX, "float": routing._FLOAT_RX, "uuid": routing._UUID_RX}[kind]
    rng = random.Random(kind)
    samples = list(SEGMENTS)
    for _ in range(3000):
        base = rng.choice(SEGMENTS)
        data = bytearray(base)
        for _ in range(rng.randrange(3)):
            pos = rng.randrange(len(data) + 1)
            data[pos:pos] = bytes([rng.choice(b"0123456789.-\nabcxAF \xff")])
        samples.append(bytes(data))
    tree = make_tree((b"/v/{x:%s}" % kind.encode(), "r"))
    for seg in samples:
        if not seg or b"/" in seg:
            continue
        got = tree.match(b"/v/" + seg)
        assert (got is not None) == bool(rx.match(seg)), seg


def test_user_validator_sees_the_raw_segment():
    seen = []

    class Validator:
        def match(self, seg):
            seen.append(seg)
            return seg.startswith(b"O")

    tree = make_tree((b"/v/{x}", "r"))
    tree.root.children[b"v"].param_child.param_validator = Validator()
    assert tree.match(b"/v/Ok%20") == ("r", {"_p_1": "Ok "})
    assert tree.match(b"/v/no") is None
    assert seen == [b"Ok%20", b"no"]


def test_validator_errors_propagate():
    class Broken:
        def match(self, seg):
            raise ValueError("bad validator")

    tree = make_tree((b"/v/{x}", "r"))
    tree.root.children[b"v"].param_child.param_validator = Broken()
    with pytest.raises(ValueError, match="bad validator"):
        tree.match(b"/v/1")
    tree.root.children[b"v"].param_child.param_validator = 5
    with pytest.raises(AttributeError):
        tree.match(b"/v/1")


def test_validator_that_edits_the_tree_during_the_search():
    tree = make_tree((b"/v/{x}/w", "r"), (b"/v/*", "tail"))

    class Vandal:
        def match(self, seg):
            tree.root = RadixNode()
            tree.root.children = {}
            return True

    tree.root.children[b"v"].param_child.param_validator = Vandal()
    assert tree.match(b"/v/1/w") == ("r", {"_p_1": "1"})
    assert tree.match(b"/v/1/w") is None


@pytest.mark.parametrize(
    "corrupt, error, message",
    [
        (lambda t: setattr(t.root, "children", {b"a": "not a node"}), TypeError,
         "Cannot convert str to quillmoth.routing.RadixNode"),
        (lambda t: setattr(t.root, "children", None), TypeError,
         "argument of type 'NoneType' is not a container or iterable"),
        (lambda t: setattr(t, "root", None), AttributeError, None),
        (lambda t: setattr(t, "static_routes", None), TypeError, None),
    ],
)
def test_corrupted_tree_errors_propagate(corrupt, error, message):
    tree = make_tree((b"/a/{x}", "r"))
    corrupt(tree)
    with pytest.raises(error) as info:
        tree.match(b"/a/b")
    if message:
        assert str(info.value) == message


# ---- against a model of the matcher ---------------------------------------------------------------

PATTERN_SEGMENTS = [b"a", b"B", b"c", b"{x}", b"{n:int}", b"<float:f>", b"*", b"*.css", b"{rest:path}", b"1",
                    b"%41"]
PATH_SEGMENTS = [b"a", b"b", b"B", b"c", b"1", b"12", b"1.5", b"x.css", b"X.CSS", b"%41", b"\xff", b"A"]


@pytest.mark.parametrize("seed", range(40))
def test_random_trees_match_the_model(seed):
    rng = random.Random(seed)
    tree = RadixTree()
    for i in range(rng.randrange(1, 25)):
        pattern = b"/" + b"/".join(rng.choice(PATTERN_SEGMENTS) for _ in range(rng.randrange(0, 5)))
        names = None
        if rng.random() < 0.4:
            names = [f"n{k}" for k in range(rng.randrange(0, 4))]
        tree.insert(pattern, f"r{i}", names)
    for _ in range(300):
        path = b"/" + b"/".join(rng.choice(PATH_SEGMENTS) for _ in range(rng.randrange(0, 6)))
        if rng.random() < 0.2:
            path += b"/"
        assert tree.match(path) == reference_match(tree, path), path


# ---- percent-decoding -----------------------------------------------------------------------------

def test_fast_unquote_export_signature():
    assert FAST_UNQUOTE_SIGNATURE == b"PyObject *(PyObject *, int)"


@settings(max_examples=examples(400), deadline=None)
@given(st.binary(max_size=40) | st.lists(st.sampled_from([b"%", b"%4", b"%41", b"%c3", b"%A9", b"\xc3", b"\xa9",
                                                          b"a", b"/", b"%%", b"\xe2\x82", b"%ZZ"]),
                                         max_size=12).map(b"".join))
def test_fast_unquote_equals_the_standard_library(raw):
    text = raw.decode("utf-8", "replace")
    assert fast_unquote(raw) == (unquote(text) if "%" in text else text)


def test_fast_unquote_argument_checks():
    with pytest.raises(TypeError, match=r"Argument 'val' has incorrect type \(expected bytes, got str\)"):
        fast_unquote("x")


# ---- the native search operation ------------------------------------------------------------------

def test_match_recursive_native_operation():
    tree = make_tree((b"/a/{x}/*", "r"), (b"/a/b", "ab"))
    root = tree.root
    assert tree_match_recursive(tree, root, [b"a", b"q", b"t", b"u"], 0, {}) == ("r", {"_p_1": "q",
                                                                                        "tail": "t/u"})
    # The caller's values come first; a search starting deeper uses the absolute segment index.
    a = root.children[b"a"]
    assert tree_match_recursive(tree, a, [b"a", b"q", b"t"], 1, {"pre": "p"}) == ("r", {"pre": "p", "_p_1": "q",
                                                                                       "tail": "t"})
    given = {"k": "v"}
    result = tree_match_recursive(tree, root, [b"a", b"b"], 0, given)
    assert result == ("ab", {"k": "v"}) and result[1] is given
    assert tree_match_recursive(tree, root, [b"z"], 0, {}) is None
    with pytest.raises(IndexError):
        tree_match_recursive(tree, root, [b"a"], 5, {})


class _CollidesWithPositionalKey:
    """A caller's key hashing like "_p_1": storing the positional value compares the two, and the
    comparison runs `on_compare` once."""

    def __init__(self, on_compare):
        self.on_compare = on_compare

    def __hash__(self):
        return hash("_p_1")

    def __eq__(self, other):
        action, self.on_compare = self.on_compare, None
        if action:
            action()
        return self is other


@pytest.mark.parametrize("wildcard", [False, True])
def test_names_replaced_while_the_values_are_built(wildcard):
    # Python code run while the values are gathered replaces (and frees) the route's names list:
    # the new names apply, as they would if the search had read them at the end.
    pattern = b"/a/{v}/*" if wildcard else b"/a/{v}"
    tree = make_tree((pattern, "r", ["only"]))
    node = tree.root.children[b"a"].param_child
    named = node.wildcard_child if wildcard else node
    names = ["k", "v", "t"] if wildcard else ["k", "v"]

    def replace_names():
        named.param_names = list(names)

    key = _CollidesWithPositionalKey(replace_names)
    segments = [b"a", b"x%41", b"t"] if wildcard else [b"a", b"x%41"]
    expected_values = [1, "xA", "t"] if wildcard else [1, "xA"]
    assert tree_match_recursive(tree, tree.root, segments, 0, {key: 1}) == ("r", dict(zip(names, expected_values)))
    assert key.on_compare is None  # the comparison did run


# ---- RouteMatch -----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "values, expected",
    [
        (None, None),
        ({}, None),
        ({"a": b"x%41"}, {"a": "xA"}),
        ({"a": "x%41"}, {"a": "x%41"}),
        ({"a": b"%2525"}, {"a": "%25"}),
        ({"a": "plain", "b": 5, "c": b"caf\xc3\xa9"}, {"a": "plain", "b": 5, "c": "café"}),
    ],
)
def test_route_match_values(values, expected):
    route = Route(b"/p/{a}")
    match = RouteMatch(route, values)
    assert match.values == expected and match._values == expected
    assert match.route is route and match.handler == route.handler and match.pattern == b"/p/{a}"
    if values:
        assert match.values is not values


def test_route_match_keeps_values_decoded_by_the_matcher():
    tree = make_tree((b"/f/{name}", Route(b"/f/{name}"), ["name"]))
    route, values = tree.match(b"/f/100%2525")
    assert RouteMatch(route, values).values == {"name": "100%25"}


def test_route_match_failures():
    with pytest.raises(UnicodeDecodeError):
        RouteMatch(Route(b"/"), {"a": b"\xff"})
    with pytest.raises(AttributeError):
        RouteMatch(object())
    with pytest.raises(TypeError) as info:
        RouteMatch(Route(b"/"), [("a", "b")])
    assert str(info.value) == "Argument 'values' has incorrect type (expected dict, got list)"
    match = RouteMatch(Route(b"/"))
    with pytest.raises(AttributeError):
        match.values = {}


def test_route_match_detects_values_changing_size():
    values = {}
    armed = []

    class Sneaky(str):
        def __hash__(self):
            if armed:
                values[len(values)] = b"x"
            return str.__hash__(self)

    values[Sneaky("a")] = b"1"
    values["b"] = b"2"
    armed.append(True)
    # Inserting the key into the result hashes it again, which grows the source dict.
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        RouteMatch(Route(b"/"), values)


@pytest.mark.parametrize("pattern, text", [(b"/x/{y}", "<RouteMatch b'/x/{y}'>"), ("/s", "<RouteMatch /s>"),
                                           (None, "<RouteMatch None>")])
def test_route_match_repr(pattern, text):
    assert repr(RouteMatch(Route(pattern))) == text


def test_route_match_repr_uses_format():
    class Fancy:
        def __format__(self, spec):
            return "fancy"

    assert repr(RouteMatch(Route(Fancy()))) == "<RouteMatch fancy>"


def test_route_match_subclass():
    class Mine(RouteMatch):
        pass

    match = Mine(Route(b"/"), {"a": b"%41"})
    assert match.values == {"a": "A"} and type(match) is Mine
    assert re.match(r"<RouteMatch", repr(match))


def test_match_recursive_checks_its_arguments():
    tree = make_tree((b"/a", "a"))
    with pytest.raises(TypeError, match="Argument 'current' has incorrect type"):
        tree_match_recursive(tree, "node", [b"a"], 0, {})
    with pytest.raises(TypeError, match="Argument 'segments' has incorrect type"):
        tree_match_recursive(tree, tree.root, (b"a",), 0, {})
    with pytest.raises(TypeError, match="Expected bytes, got str"):
        tree_match_recursive(tree, tree.root, ["a"], 0, {})


def test_none_route_counts_as_no_route():
    tree = make_tree((b"/a/{x}", "param"), (b"/a/b", None), (b"/", None))
    assert tree.static_routes[b"/a/b"] is None
    assert tree.match(b"/a/b") == ("param", {"_p_1": "b"})
    assert tree.match(b"/") is None


def test_very_long_paths():
    tree = make_tree((b"/a/{x}", "ax"), (b"/files/*.bin", "bin"))
    long_path = b"/a" * 500_000
    assert tree.match(long_path) is None
    route, values = tree.match(b"/files" + b"/seg%20" * 100_000 + b".BIN")
    assert route == "bin" and len(values["tail"]) == 100_000 * 5 - 1 and values["tail"].startswith("seg /seg ")
    assert tree.match(b"/a/" + b"x" * 1_000_000) == ("ax", {"_p_1": "x" * 1_000_000})
