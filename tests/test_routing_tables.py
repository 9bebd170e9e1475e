"""Lookups of the matcher against the dicts it reads on every request (`trees`, `static_routes`,
`children`): answers follow every later change to those dicts made from Python, keys of other types
or of the wrong letter case behave as the dicts themselves decide, and the byte scans of paths and
values agree with a plain model at every length and position."""

import pytest

from quillmoth.routing import CythonRadixRouter, RadixNode, RadixTree

from routing_support import ref_unquote


def tree_with(*patterns):
    tree = RadixTree()
    for pattern in patterns:
        tree.insert(pattern, pattern.decode("latin-1"))
    return tree


# ---- changes made after the first match --------------------------------------------------------


def _add_child(tree):
    tree.root.children[b"extra"] = RadixNode(b"extra")
    tree.root.children[b"extra"].route = "added"
    tree.root.children[b"extra"].is_leaf = True
    return b"/extra/", ("added", None)


def _delete_child(tree):
    del tree.root.children[b"users"]
    return b"/users/me/", None


def _replace_child(tree):
    node = RadixNode(b"users")
    node.children[b"me"] = RadixNode(b"me")
    node.children[b"me"].route = "replaced"
    node.children[b"me"].is_leaf = True
    tree.root.children[b"users"] = node
    return b"/USERS/me/", ("replaced", None)


def _clear_children(tree):
    tree.root.children.clear()
    return b"/users/me/", None


def _assign_children(tree):
    old = tree.root.children[b"users"]
    tree.root.children = {b"people": old}
    return b"/people/me/", ("/users/me", None)


def _update_children(tree):
    tree.root.children.update({b"people": tree.root.children[b"users"]})
    return b"/People/ME/", ("/users/me", None)


@pytest.mark.parametrize(
    "change", [_add_child, _delete_child, _replace_child, _clear_children, _assign_children, _update_children]
)
def test_children_changes_are_seen_by_later_matches(change):
    # The trailing slash keeps the exact-path table out of the way, and the paths miss it anyway
    # after a case change; the tree answers.
    tree = tree_with(b"/users/me", b"/users/{id}")
    assert tree.match(b"/USERS/me/") == ("/users/me", None)
    path, expected = change(tree)
    tree.static_routes.clear()
    assert tree.match(path) == expected


@pytest.mark.parametrize(
    "change, path, expected",
    [
        (lambda t: t.static_routes.__setitem__(b"/new", "n"), b"/new", ("n", None)),
        (lambda t: t.static_routes.__setitem__(b"/a/b", "other"), b"/a/b", ("other", None)),
        (lambda t: t.static_routes.__delitem__(b"/a/b"), b"/a/b", ("/a/b", None)),  # tree still has it
        (lambda t: t.static_routes.__setitem__(b"/a/b", None), b"/A/B", ("/a/b", None)),
        (lambda t: setattr(t, "static_routes", {b"/zz/": "z"}), b"/zz/", ("z", None)),
        (lambda t: t.static_routes.update({b"/q": "q"}), b"/q/", ("q", None)),
    ],
)
def test_static_table_changes_are_seen_by_later_matches(change, path, expected):
    tree = tree_with(b"/a/b", b"/a/{x}")
    assert tree.match(b"/a/b") == ("/a/b", None)
    assert tree.match(b"/a/b/") == ("/a/b", None)
    change(tree)
    assert tree.match(path) == expected


def test_router_sees_tree_table_changes():
    router = CythonRadixRouter()
    router.add_route(b"get", b"/x", "gx")
    assert router.get_match(b"GET", b"/x") == ("gx", None)
    assert router.get_match(b"post", b"/x") is None
    router.add_route(b"Post", b"/x", "px")
    assert router.get_match(b"post", b"/x") == ("px", None)
    del router.trees[b"GET"]
    assert router.get_match(b"get", b"/x") is None
    router.trees = {b"GET": router.trees[b"POST"]}
    assert router.get_match(b"gEt", b"/x") == ("px", None)
    router.trees[b"GET"] = "not a tree"
    with pytest.raises(TypeError, match="Cannot convert str to quillmoth.routing.RadixTree"):
        router.get_match(b"GET", b"/x")


def test_tables_of_a_freed_dict_are_not_reused():
    # A dict freed and a new one made in its place must not be answered from the old one's table.
    tree = tree_with(b"/a")
    for i in range(50):
        tree.static_routes = {b"/p%d" % i: i}
        assert tree.match(b"/p%d" % i) == (i, None)
        assert tree.match(b"/p%d" % (i - 1)) is None


# ---- keys the lookup can never take -------------------------------------------------------------


def test_keys_of_the_wrong_case_never_match():
    tree = tree_with(b"/users/x")
    tree.static_routes.clear()
    tree.root.children[b"Upper"] = tree.root.children[b"users"]
    assert tree.match(b"/Upper/x") is None
    assert tree.match(b"/upper/x") is None
    assert tree.match(b"/USERS/x") == ("/users/x", None)

    router = CythonRadixRouter()
    router.trees[b"get"] = tree
    assert router.get_match(b"get", b"/users/x") is None
    assert router.get_match(b"GET", b"/users/x") is None


@pytest.mark.parametrize("odd_key", ["/s", 7, ("t",), None])
def test_tables_holding_keys_of_other_types(odd_key):
    tree = tree_with(b"/s", b"/a/b")
    tree.static_routes[odd_key] = "odd"
    tree.root.children[odd_key] = tree.root.children[b"a"]
    assert tree.match(b"/s") == ("/s", None)
    assert tree.match(b"/a/b/") == ("/a/b", None)
    assert tree.match(b"/missing") is None
    router = CythonRadixRouter()
    router.trees[b"GET"] = tree
    router.trees[odd_key] = None
    assert router.get_match(b"get", b"/s") == ("/s", None)
    assert router.get_match(b"put", b"/s") is None


class EqualsEverything(bytes):
    def __eq__(self, other):
        return True

    __hash__ = bytes.__hash__


def test_bytes_subclass_keys_are_compared_by_the_dict():
    tree = tree_with(b"/a")
    key = EqualsEverything(b"/b")
    tree.static_routes[key] = "subclass"
    # Only the dict knows how this key compares; equal hashes are needed first.
    assert tree.match(b"/b") == ("subclass", None)


class ReplacesOnCompare:
    """A key hashing like `like`: a lookup of that key compares the two, which runs `action` once
    (dropping the dict being searched, say) and finds them different."""

    def __init__(self, like, action, events):
        self.like, self.action, self.events = like, action, events

    def __hash__(self):
        return hash(self.like)

    def __eq__(self, other):
        action, self.action = self.action, None
        if action:
            action()
            self.events.append("compared")
        return self is other


class Finalized:
    def __init__(self, events):
        self.events = events

    def __del__(self):
        self.events.append("freed")


def _searched_dict(dict_, like, replace):
    """Puts into `dict_` a key whose comparison with `like` calls `replace` (which drops the dict),
    and a value telling when the dict is freed. Returns the list of what happened."""
    events = []
    dict_[ReplacesOnCompare(like, replace, events)] = None
    dict_[b"finalized"] = Finalized(events)
    return events


def _children_in_match():
    tree = tree_with(b"/users/x")
    tree.static_routes.clear()
    root = tree.root
    events = _searched_dict(root.children, b"zzz", lambda: setattr(root, "children", {}))
    assert tree.match(b"/zzz") is None
    assert root.children == {}
    return events


def _children_in_insert():
    tree = tree_with(b"/users/x")
    node = tree.root.children[b"users"]
    events = _searched_dict(node.children, b"zzz", lambda: setattr(node, "children", {}))
    assert tree.insert(b"/users/zzz/{n}", "z") is None
    # The new node went into the dict the insert was searching, which is no longer the node's.
    assert node.children == {}
    assert tree.match(b"/users/zzz/1") is None
    return events


def _static_routes_as_given():
    tree = tree_with(b"/a/{x}")
    events = _searched_dict(tree.static_routes, b"/q/", lambda: setattr(tree, "static_routes", {b"/q": "new"}))
    # The stripped form is looked up in the new dict.
    assert tree.match(b"/q/") == ("new", None)
    return events


def _static_routes_stripped():
    tree = tree_with(b"/a/{x}")
    events = _searched_dict(tree.static_routes, b"/a/1", lambda: setattr(tree, "static_routes", {}))
    assert tree.match(b"/a/1/") == ("/a/{x}", {"_p_1": "1"})
    return events


def _static_routes_in_insert():
    tree = tree_with(b"/a/{x}")
    events = _searched_dict(tree.static_routes, b"/zzz", lambda: setattr(tree, "static_routes", {}))
    assert tree.insert(b"/zzz", "z") is None
    # The first store went into the dict being searched; the second into the one replacing it.
    assert tree.static_routes == {b"/zzz/": "z"}
    return events


def _trees_in_get_match():
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/x", "gx")
    events = _searched_dict(router.trees, b"POST", lambda: setattr(router, "trees", {}))
    assert router.get_match(b"post", b"/x") is None
    assert router.trees == {}
    return events


@pytest.mark.parametrize(
    "case", [_children_in_match, _children_in_insert, _static_routes_as_given, _static_routes_stripped,
             _static_routes_in_insert, _trees_in_get_match]
)
def test_dicts_replaced_by_a_key_comparison_during_the_lookup(case):
    # A key comparison swaps the searched dict for a new one, dropping the last reference to it: the
    # lookup still finishes in that dict (alive until then) and finds nothing there.
    assert case() == ["compared", "freed"]


# ---- every length and position -----------------------------------------------------------------


@pytest.mark.parametrize("length", range(1, 42))
def test_segments_of_every_length(length):
    words = [bytes((97 + (i * 7 + k) % 26) for i in range(length)) for k in range(30)]
    tree = tree_with(*[b"/" + w + b"/{id}" for w in words])
    tree.static_routes.clear()
    for word in words:
        assert tree.match(b"/" + word.upper() + b"/1") == ("/" + word.decode() + "/{id}", {"_p_1": "1"})
        # One byte changed anywhere in the segment misses.
        for position in range(0, length, 3):
            changed = word[:position] + b"#" + word[position + 1:]
            assert tree.match(b"/" + changed + b"/1") is None
        assert tree.match(b"/" + word + b"x/1") is None
        assert tree.match(b"/" + word[:-1] + b"/1") is None


@pytest.mark.parametrize("length", [63, 64, 255, 256, 257, 700])
def test_long_keys(length):
    # Keys of 256 bytes or more are tracked apart from the shorter ones.
    segment = b"s" * length
    tree = tree_with(b"/" + segment, b"/" + segment + b"/{x}", b"/k/" + segment + b"x")
    assert tree.match(b"/" + segment) == ("/" + segment.decode(), None)
    assert tree.match(b"/" + segment.upper() + b"/") == ("/" + segment.decode(), None)
    assert tree.match(b"/" + segment + b"/1") == ("/" + segment.decode() + "/{x}", {"_p_1": "1"})
    assert tree.match(b"/k/" + segment + b"X") == ("/k/" + segment.decode() + "x", None)
    assert tree.match(b"/" + segment[:-1] + b"t") is None
    assert tree.match(b"/k/" + segment) is None


def test_case_folding_touches_only_ascii_letters():
    # Bytes 0x40, 0x5b, 0x60, 0x7b and non-ASCII bytes sit next to the letter ranges.
    segment = b"@[`{\xc1\xda\xe1\xfaAZaz"
    tree = tree_with(b"/" + segment + b"/{id}")
    tree.static_routes.clear()
    lowered = segment.lower()
    assert tree.match(b"/" + lowered + b"/1") is not None
    assert tree.match(b"/" + segment.upper() + b"/1") is not None
    for i, byte in enumerate(lowered):
        if not 97 <= byte <= 122:
            for other in (byte ^ 0x20, byte ^ 0x80):
                changed = lowered[:i] + bytes([other]) + lowered[i + 1:]
                assert tree.match(b"/" + changed + b"/1") is None, changed


@pytest.mark.parametrize("position", range(2, 22))
def test_empty_segment_found_at_every_position(position):
    path = b"/a" + b"b" * 23
    tree = tree_with(b"/{x}", b"/{x}/{y}", b"/*")
    assert tree.match(path[:position] + b"//" + path[position:]) is None
    # One slash instead of two splits the path normally.
    assert tree.match(path[:position] + b"/" + path[position:]) == ("/{x}/{y}", {"_p_0": path[1:position].decode(),
                                                                             "_p_1": path[position:].decode()})


@pytest.mark.parametrize("slashes", [1, 2, 7, 9])
def test_trailing_slashes_of_any_count(slashes):
    tree = tree_with(b"/abcdefgh/{x}", b"/static/page")
    # Two slashes or more at the end make an empty segment: no match.
    matched = slashes == 1
    assert tree.match(b"/abcdefgh/" + b"q" * 9 + b"/" * slashes) == (
        ("/abcdefgh/{x}", {"_p_1": "q" * 9}) if matched else None)
    assert tree.match(b"/static/page" + b"/" * slashes) == (("/static/page", None) if matched else None)


@pytest.mark.parametrize(
    "value",
    [
        b"abcdefg", b"abcdefgh", b"abcdefghi", b"abcdefghijklmnop%41", b"%41bcdefghijklmnopq",
        b"abcdefgh\xc3\xa9", b"abcdefghijklmno\xff", b"\xe2\x82\xac" * 5, b"abcdefgh%zz", b"a+b~c-d_e.f!g",
        b"x" * 64, b"x" * 63 + b"%25",
    ],
)
def test_captured_values_of_every_shape(value):
    tree = tree_with(b"/v/{x}", b"/w/*")
    assert tree.match(b"/v/" + value) == ("/v/{x}", {"_p_1": ref_unquote(value)})
    assert tree.match(b"/w/" + value + b"/" + value) == ("/w/*", {"tail": ref_unquote(value + b"/" + value)})


# ---- captured values named by param_names ---------------------------------------------------------


class ShrinkingName(str):
    """A name whose hashing empties the rest of the list it sits in."""

    def __hash__(self):
        del self.owner[1:]
        return str.__hash__(self)


@pytest.mark.parametrize(
    "pattern, path, names, expected",
    [
        (b"/a/{x}/{y}", b"/a/1/2", ["x", "x"], {"x": "2"}),
        (b"/a/{x}/*", b"/a/1/t/u", ["x", "x"], {"x": "t/u"}),
        (b"/a/{x}/*", b"/a/1", ["x", "rest"], {"x": "1", "rest": ""}),
        (b"/a/{x}/{y}/{z}", b"/a/1/2/3", "shrinking", {"p": "1"}),
        (b"/a/{x}/{y}/*", b"/a/1/2/t", "shrinking", {"p": "1"}),
    ],
)
def test_values_named_by_param_names(pattern, path, names, expected):
    tree = RadixTree()
    tree.insert(pattern, "r", ["n"] * (pattern.count(b"{") + pattern.count(b"*")))
    node = tree.root
    for segment in pattern.strip(b"/").split(b"/"):
        node = node.wildcard_child if segment == b"*" else node.children.get(segment) or node.param_child
    if names == "shrinking":
        names = [ShrinkingName("p"), "q", "s"][: len(node.param_names)]
        names[0].owner = names
    node.param_names = names
    assert tree.match(path) == ("r", expected)


def _build_match_change_and_drop():
    router = CythonRadixRouter()
    for i in range(40):
        router.add_route(b"GET", b"/s/%d/page" % i, i)
    router.add_route(b"GET", b"/u/{id}/*", "u", ["id", "rest"])
    assert router.get_match(b"get", b"/S/7/PAGE/") == (7, None)
    assert router.get_match(b"GET", b"/u/1/a/b") == ("u", {"id": "1", "rest": "a/b"})
    tree = router.trees[b"GET"]
    tree.static_routes[b"/new"] = "n"  # tables rebuilt on the next match
    tree.root.children[b"s"].children.pop(b"3")
    del tree.static_routes[b"/s/3/page"], tree.static_routes[b"/s/3/page/"]
    assert router.get_match(b"GET", b"/new") == ("n", None)
    assert router.get_match(b"GET", b"/s/3/page/") is None
    router.trees = {b"GET": tree}
    assert router.get_match(b"GET", b"/u/2") == ("u", {"id": "2", "rest": ""})


def test_tables_are_released_with_their_owners():
    import gc
    import tracemalloc

    for _ in range(50):
        _build_match_change_and_drop()
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(50):
            _build_match_change_and_drop()
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(1000):
            _build_match_change_and_drop()
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert second - first < 64 * 1024, second - first


@pytest.mark.parametrize("seed", range(20))
def test_inserts_between_matches_agree_with_the_model(seed):
    # Every insert changes dicts the tables were built from; each match must see the tree as it is.
    import random

    from routing_support import reference_match

    rng = random.Random(seed)
    segments = [b"a", b"B", b"ab", b"{x}", b"{n:int}", b"*", b"*.TXT", b"longer-segment-name", b"%41"]
    paths = [b"a", b"b", b"A", b"ab", b"7", b"f.txt", b"LONGER-segment-name", b"%41", b"\xff"]
    tree = RadixTree()
    for i in range(60):
        pattern = b"/" + b"/".join(rng.choice(segments) for _ in range(rng.randrange(0, 4)))
        tree.insert(pattern, f"r{i}", [f"n{k}" for k in range(rng.randrange(0, 3))] if rng.random() < 0.3 else None)
        for _ in range(10):
            path = b"/" + b"/".join(rng.choice(paths) for _ in range(rng.randrange(0, 4)))
            assert tree.match(path) == reference_match(tree, path), (pattern, path)
