"""The per-method router, Python-subclass overrides reached by native callers, and reference
stability of every operation including its error paths."""

import gc
import pickle
import sys
import tracemalloc

import pytest

from quillmoth import routing as routing_module
from quillmoth.routing import CythonRadixRouter, RadixNode, RadixTree, RouteMatch

from routing_support import (
    Route,
    fast_unquote,
    router_add_route,
    router_get_match,
    tree_insert,
    tree_match,
    tree_match_recursive,
)


def test_methods_are_uppercased():
    router = CythonRadixRouter()
    router.add_route(b"get", b"/a/{x}", "lower")
    router.add_route(b"GET", b"/b", "upper")
    assert list(router.trees) == [b"GET"]
    assert router.get_match(b"Get", b"/a/1") == ("lower", {"_p_1": "1"})
    assert router.get_match(b"gEt", b"/b") == ("upper", None)
    assert router.get_match(b"POST", b"/b") is None
    router.add_route(b"m-\xe9x", b"/c", "odd")
    assert b"M-\xe9X" in router.trees


def test_unknown_method_touches_no_tree():
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/", "r")
    assert router.get_match(b"HEAD", b"/") is None
    assert list(router.trees) == [b"GET"]


def test_get_match_returns_what_the_tree_returns():
    sentinel = object()

    class Tree(RadixTree):
        def match(self, path):
            return sentinel

    router = CythonRadixRouter()
    router.trees[b"GET"] = Tree()
    assert router.get_match(b"get", b"/anything") is sentinel
    router.add_route(b"PUT", b"/s", "static")
    assert router.get_match(b"PUT", b"/s") == ("static", None)


def test_add_route_creates_exact_radix_trees_and_passes_names():
    router = CythonRadixRouter()
    router.add_route(b"POST", b"/u/{id}", "r", param_names=["id"])
    tree = router.trees[b"POST"]
    assert type(tree) is RadixTree
    assert router.get_match(method=b"POST", path=b"/u/5") == ("r", {"id": "5"})
    route = Route(b"/v/{a}", param_names=[b"a"])
    router.add_route(b"POST", b"/v/{a}", route)
    assert router.get_match(b"POST", b"/v/%41") == (route, {"a": "A"})


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.add_route("GET", b"/", 1), TypeError,
         "Argument 'method' has incorrect type (expected bytes, got str)"),
        (lambda r: r.add_route(b"GET", "/", 1), TypeError,
         "Argument 'pattern' has incorrect type (expected bytes, got str)"),
        (lambda r: r.add_route(b"GET", b"/", 1, ()), TypeError,
         "Argument 'param_names' has incorrect type (expected list, got tuple)"),
        (lambda r: r.get_match(b"GET", "/"), TypeError, "Argument 'path' has incorrect type (expected bytes, got str)"),
        (lambda r: r.get_match(1, b"/"), TypeError, "Argument 'method' has incorrect type (expected bytes, got int)"),
        (lambda r: r.get_match(b"GET"), TypeError, "get_match() takes exactly 2 positional arguments (1 given)"),
        (lambda r: r.add_route(b"GET", None, 1), TypeError, "object of type 'NoneType' has no len()"),
        (lambda r: r.add_route(b"GET", b"/{\xff}", 1), UnicodeDecodeError, None),
    ],
)
def test_router_argument_errors(call, error, message):
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/x", "x")
    with pytest.raises(error) as info:
        call(router)
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("call", [lambda r: r.add_route(b"GET", b"/", 1), lambda r: r.get_match(b"GET", b"/")])
def test_trees_replaced_by_none(call):
    router = CythonRadixRouter()
    router.trees = None
    with pytest.raises(TypeError, match="^'NoneType' object is not iterable$"):
        call(router)


@pytest.mark.parametrize("call", [lambda r: r.add_route(b"get", b"/", 1), lambda r: r.get_match(b"get", b"/")])
def test_trees_holding_something_else(call):
    router = CythonRadixRouter()
    router.trees = {b"GET": "not a tree"}
    with pytest.raises(TypeError) as info:
        call(router)
    assert str(info.value) == "Cannot convert str to quillmoth.routing.RadixTree"


# ---- overrides ----------------------------------------------------------------------------------------

class RecordingTree(RadixTree):
    def __init__(self):
        self.calls = []

    def insert(self, pattern, route, param_names=None):
        self.calls.append(("insert", pattern, route, param_names))
        return super().insert(pattern, route.upper(), param_names)

    def match(self, path):
        self.calls.append(("match", path))
        found = super().match(path)
        return None if found is None else (found[0], "seen")


def test_router_reaches_tree_overrides():
    router = CythonRadixRouter()
    tree = RecordingTree()
    router.trees[b"GET"] = tree
    router.add_route(b"get", b"/a/{x}", "r", ["x"])
    assert router.get_match(b"GET", b"/a/1") == ("R", "seen")
    assert tree.calls == [("insert", b"/a/{x}", "r", ["x"]), ("match", b"/a/1")]


def test_native_callers_reach_tree_overrides():
    tree = RecordingTree()
    assert tree_insert(tree, b"/n/{v}", "route", None) is None
    assert tree_match(tree, b"/n/1") == ("ROUTE", "seen")
    assert tree.calls == [("insert", b"/n/{v}", "route", None), ("match", b"/n/1")]
    plain = RadixTree()
    assert tree_insert(plain, b"/n/{v}", "route", None) is None
    assert tree_match(plain, b"/n/1") == ("route", {"_p_1": "1"})


class RecordingRouter(CythonRadixRouter):
    calls = []

    def add_route(self, method, pattern, route, param_names=None):
        self.calls.append(("add_route", method, pattern))
        return super().add_route(method, pattern, route, param_names)

    def get_match(self, method, path):
        self.calls.append(("get_match", method, path))
        return "overridden"


def test_native_callers_reach_router_overrides():
    router = RecordingRouter()
    RecordingRouter.calls = []
    router_add_route(router, b"GET", b"/x", "r", None)
    assert router_get_match(router, b"GET", b"/x") == "overridden"
    assert RecordingRouter.calls == [("add_route", b"GET", b"/x"), ("get_match", b"GET", b"/x")]
    assert router.trees[b"GET"].match(b"/x") == ("r", None)
    plain = CythonRadixRouter()
    router_add_route(plain, b"GET", b"/x", "r", None)
    assert router_get_match(plain, b"get", b"/x") == ("r", None)


def test_match_request_builds_the_route_match_through_get_match():
    router = CythonRadixRouter()
    route = Route("/u/{id}", "h")
    router.add_route(b"GET", b"/u/{id}", route, ["id"])
    router.add_route(b"M-\xe9X", b"/odd", Route("/odd", "odd"))
    match = router.match_request("get", b"/u/a%20b")  # any case; values decoded as RouteMatch does
    assert type(match) is RouteMatch and (match.handler, match.pattern, match.route) == ("h", "/u/{id}", route)
    assert match.values == RouteMatch(route, {"id": b"a%20b"}).values == {"id": "a b"}
    assert router.match_request("POST", b"/u/1") is None and router.match_request("GET", b"/none") is None
    assert router.match_request("m-\xe9x", b"/odd").handler == "odd"  # other methods: Latin-1
    with pytest.raises(UnicodeEncodeError):
        router.match_request("\u0100", b"/odd")
    for args, message in ((("GET", "/u/1"), "'path' has incorrect type"), ((b"GET", b"/"), "'method' has incorrect type"),
                          (("GET",), "takes exactly 2")):
        with pytest.raises(TypeError, match=message):
            router.match_request(*args)
    # A Python get_match is what match_request asks; its pair (any sequence) becomes the match.
    RecordingRouter.calls = []
    recording = RecordingRouter()
    with pytest.raises(TypeError, match="'values' has incorrect type"):
        recording.match_request("GET", b"/x")  # "overridden"[1] is no dict
    assert RecordingRouter.calls == [("get_match", b"GET", b"/x")]

    class Listing(CythonRadixRouter):
        def get_match(self, method, path):
            return [route, None] if path == b"/l" else None

    assert Listing().match_request("GET", b"/l").route is route and Listing().match_request("GET", b"/m") is None


def test_override_added_after_first_native_call_is_seen():
    class Late(RadixTree):
        pass

    tree = Late()
    tree.insert(b"/x", "r")
    assert tree_match(tree, b"/x") == ("r", None)
    Late.match = lambda self, path: "late"
    assert tree_match(tree, b"/x") == "late"
    del Late.match
    assert tree_match(tree, b"/x") == ("r", None)


def test_override_errors_propagate_to_native_callers():
    class Failing(RadixTree):
        def match(self, path):
            raise LookupError("nope")

    router = CythonRadixRouter()
    router.trees[b"GET"] = Failing()
    with pytest.raises(LookupError, match="nope"):
        router.get_match(b"GET", b"/")


def test_subclass_without_overrides_takes_native_path():
    class Plain(CythonRadixRouter):
        pass

    router = Plain()
    router.add_route(b"GET", b"/p/{x}", "r")
    assert router_get_match(router, b"GET", b"/p/1") == ("r", {"_p_1": "1"})



@pytest.mark.parametrize(
    "cls, attribute",
    [(RadixTree, "match"), (RadixTree, "insert"), (CythonRadixRouter, "get_match"), (CythonRadixRouter, "add_route"),
     (RadixNode, "route"), (RouteMatch, "route")],
)
def test_native_classes_cannot_be_patched(cls, attribute):
    router = CythonRadixRouter()
    router.add_route(b"GET", b"/p/{x}", Route(b"/p/{x}"))
    before = router.get_match(b"GET", b"/p/1")
    original = cls.__dict__[attribute]
    with pytest.raises(TypeError, match="immutable type"):
        setattr(cls, attribute, lambda *args: "patched")
    with pytest.raises(TypeError, match="immutable type"):
        delattr(cls, attribute)
    assert cls.__dict__[attribute] is original
    assert router.get_match(b"GET", b"/p/1") == before
    assert router_get_match(router, b"GET", b"/p/1") == before
    assert RouteMatch(*before).route is before[0]

# ---- garbage collection and reference stability -------------------------------------------------------

def test_cycles_through_routes_are_collected():
    import weakref

    class Holder:
        pass

    holder = Holder()
    tree = RadixTree()
    holder.tree = tree
    tree.insert(b"/a/{x}", holder)
    node = RadixNode()
    node.route = node
    ref = weakref.ref(holder)
    del holder, tree, node
    gc.collect()
    assert ref() is None


def _exercise(router, tree, route):
    router.add_route(b"get", b"/u/{id:int}/files/*.txt", route, ["id", "name"])
    router.get_match(b"GET", b"/u/12/files/a%20b.TXT")
    router.get_match(b"GET", b"/u/12/files/a.bin")
    router.get_match(b"GET", b"/static/page")
    router.get_match(b"HEAD", b"/")
    tree.insert(b"/static/page/", route)
    tree.match(b"/static/page/")
    tree.match(b"/p/%E2%82%AC/q")
    tree.match(b"/p//q")
    RouteMatch(route, {"id": b"%41", "n": "x"})
    fast_unquote(b"a%20\xff")
    tree_match_recursive(tree, tree.root, [b"p", b"x", b"q"], 0, {"a": "b"})
    for bad in (
        lambda: tree.insert(b"/bad/{\xff}", route),
        lambda: tree.insert(b"/n/{a}", route, [1]),
        lambda: tree.insert("str", route),
        lambda: tree.match(None),
        lambda: router.get_match(b"GET", 5),
        lambda: RouteMatch(route, {"a": b"\xff"}),
        lambda: RouteMatch(object()),
        lambda: router.add_route(b"BAD", b"/", route),
        lambda: tree_match_recursive(tree, tree.root, [b"a"], 9, {}),
        lambda: fast_unquote(None),
    ):
        try:
            bad()
        except Exception:
            pass


def test_no_references_or_memory_leak_over_many_calls():
    router = CythonRadixRouter()
    tree = RadixTree()
    tree.insert(b"/p/{x}/q", "pq")
    router.trees[b"BAD"] = "broken"
    route = Route(b"/u")
    for _ in range(200):
        _exercise(router, tree, route)
    gc.collect()
    refs_before = sys.getrefcount(route)
    tracemalloc.start()
    try:
        for _ in range(50):
            _exercise(router, tree, route)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            _exercise(router, tree, route)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(route) == refs_before
    assert second - first < 64 * 1024, second - first


# ---- pickling -------------------------------------------------------------------------------------

class Tagged(CythonRadixRouter):
    pass


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
def test_router_round_trips_through_pickle(protocol):
    router = Tagged()
    router.label = "edge"
    router.add_route(b"GET", b"/", "root")
    router.add_route(b"GET", b"/u/{id:int}/files/*.txt", "files", ["id", "name"])
    router.add_route(b"post", b"/a/{x}", "a")
    copy = pickle.loads(pickle.dumps(router, protocol))
    assert type(copy) is Tagged and copy.label == "edge"
    for method, path in [(b"GET", b"/"), (b"GET", b"/u/1/files/a/B.TXT"), (b"POST", b"/a/%41"), (b"GET", b"/x")]:
        assert copy.get_match(method, path) == router.get_match(method, path)
    node = copy.trees[b"GET"].root.children[b"u"].param_child
    assert node.param_validator is routing_module._INT_RX
    assert node.children[b"files"].wildcard_suffix == b".txt"


def test_route_match_round_trips_through_pickle():
    match = RouteMatch(Route(b"/p/{a}", handler="h"), {"a": b"%41"})
    copy = pickle.loads(pickle.dumps(match))
    assert (copy.handler, copy.pattern, copy.values, copy.route.pattern) == ("h", b"/p/{a}", {"a": "A"}, b"/p/{a}")
    assert repr(copy) == repr(match)


@pytest.mark.parametrize(
    "obj, state, error",
    [
        (RadixNode(), (None,) * 3, TypeError),
        (RadixTree(), ("not a node", {}, None), TypeError),
        (CythonRadixRouter(), ([], None), TypeError),
        (RouteMatch(Route(b"/")), [None] * 5, TypeError),
    ],
)
def test_setstate_checks_the_state(obj, state, error):
    with pytest.raises(error):
        obj.__setstate__(state)
