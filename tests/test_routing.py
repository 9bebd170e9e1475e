"""Route patterns, tree insertion and the typed attributes of the routing classes."""

import gc
import re

import pytest

from quillmoth import routing
from quillmoth.routing import CythonRadixRouter, RadixNode, RadixTree, RouteMatch

from conftest import run_python
from routing_support import Route, tree_parse_param_segment


def node_at(tree, *keys):
    node = tree.root
    for key in keys:
        node = node.children[key]
    return node


# ---- module constants ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "name, pattern",
    [
        ("_INT_RX", rb"^\d+$"),
        ("_FLOAT_RX", rb"^\d+(?:\.\d+)?$"),
        ("_UUID_RX", rb"^[a-fA-F0-9]{8}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{4}-[a-fA-F0-9]{12}$"),
    ],
)
def test_validator_constants_are_compiled_bytes_patterns(name, pattern):
    rx = getattr(routing, name)
    assert isinstance(rx, re.Pattern)
    assert rx.pattern == pattern



# In a child interpreter: re.compile hands out stand-ins and fails on the third validator (or
# copyreg.__newobj__ is gone), so every import fails after making part of the module's state. Each
# failed import must leave nothing behind: the stand-ins are freed, and the factory, an interned name
# and a positional key are held as often as before. Then the real ones are restored and the import
# works.
FAILED_IMPORT = """
import copyreg, gc, pickle, re, sys, weakref

real_compile, real_newobj = re.compile, copyreg.__newobj__
made = []

class Compiled:
    pass

def compile_two(pattern, flags=0):
    if len(made) == 2:
        raise LookupError("no third pattern")
    compiled = Compiled()
    made.append(weakref.ref(compiled))
    return compiled

def newobj(cls, *args):
    return real_newobj(cls, *args)

def held():
    return sys.getrefcount(newobj), sys.getrefcount("_p_5"), sys.getrefcount("param_names")

copyreg.__newobj__ = newobj
if MODE == "compile":
    re.compile = compile_two
else:
    del copyreg.__newobj__
for attempt in range(3):
    made.clear()
    before = held()
    try:
        import quillmoth.routing
    except (LookupError, AttributeError):
        pass
    else:
        raise SystemExit("the import did not fail")
    gc.collect()
    assert held() == before, (attempt, before, held())
    assert not any(ref() for ref in made), "validators kept"

re.compile, copyreg.__newobj__ = real_compile, real_newobj
from quillmoth import routing
assert isinstance(routing._INT_RX, re.Pattern)
tree = routing.RadixTree()
tree.insert(b"/n/{id:int}", "n")
assert tree.match(b"/n/12") == ("n", {"_p_1": "12"}) and tree.match(b"/n/x") is None
assert pickle.loads(pickle.dumps(tree)).match(b"/n/12") == ("n", {"_p_1": "12"})
print("ok")
"""


@pytest.mark.parametrize("mode", ["compile", "newobj"])
def test_failed_import_keeps_nothing_and_the_retry_works(mode):
    result = run_python(f"MODE = {mode!r}\n" + FAILED_IMPORT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"

# ---- static patterns ----------------------------------------------------------------------------

@pytest.mark.parametrize("pattern", [b"", b"/"])
def test_root_pattern_sets_root_route_and_both_table_entries(pattern):
    tree = RadixTree()
    assert tree.insert(pattern, "r") is None
    assert tree.root.route == "r" and tree.root.is_leaf is True
    assert tree.static_routes == {b"/": "r", b"": "r"}
    assert tree.root.param_names is None


def test_trailing_slash_pattern_stored_with_and_without_slash():
    tree = RadixTree()
    tree.insert(b"/users/", "u")
    assert tree.static_routes == {b"/users": "u", b"/users/": "u"}
    assert list(tree.root.children) == [b"users"]
    node = node_at(tree, b"users")
    assert node.route == "u" and node.is_leaf and node.segment == b"users"


def test_static_case_kept_in_table_lowered_in_tree():
    tree = RadixTree()
    tree.insert(b"/Users/List", "r")
    assert tree.static_routes == {b"/Users/List": "r", b"/Users/List/": "r"}
    assert node_at(tree, b"users", b"list").route == "r"
    tree.insert(b"/users/list", "r2")
    assert node_at(tree, b"users", b"list").route == "r2"
    assert tree.static_routes[b"/Users/List"] == "r" and tree.static_routes[b"/users/list"] == "r2"


def test_empty_segments_carry_no_meaning_in_the_tree():
    tree = RadixTree()
    tree.insert(b"/a//b", "r")
    assert tree.static_routes == {b"/a//b": "r", b"/a//b/": "r"}
    assert node_at(tree, b"a", b"b").route == "r"
    assert tree.match(b"/a/b") == ("r", None)
    assert tree.match(b"/a//b") is None


def test_slashes_only_pattern_is_the_root():
    tree = RadixTree()
    tree.insert(b"///", "r")
    assert tree.root.route == "r"
    # "///" loses its trailing slashes entirely: the table gets the empty pattern and "/".
    assert tree.static_routes == {b"": "r", b"/": "r"}


@pytest.mark.parametrize("pattern", [b"/file.{ext}", b"/{open", b"/a:b", b"/x<y"])
def test_parameter_syntax_anywhere_keeps_pattern_out_of_the_table(pattern):
    tree = RadixTree()
    tree.insert(pattern, "r")
    assert tree.static_routes == {}
    if pattern in (b"/file.{ext}", b"/{open"):
        # Not a parameter form: a literal segment in the tree.
        assert node_at(tree, pattern[1:].lower()).route == "r"


# ---- parameter segments ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "segment, name, validator",
    [
        (b"{id:int}", "id", "_INT_RX"),
        (b"<int:id>", "id", "_INT_RX"),
        (b":id:int", "id", "_INT_RX"),
        (b"{int:id}", "id", "_INT_RX"),
        (b"{id}", "id", None),
        (b":id", "id", None),
        (b"<id>", "id", None),
        (b"{id:slug}", "id", None),
        (b"{id:str}", "id", None),
        (b"{string:id}", "id", None),
        (b"{x:float}", "x", "_FLOAT_RX"),
        (b"<uuid:u>", "u", "_UUID_RX"),
        (b"{:int}", "", "_INT_RX"),
        (b"{}", "", None),
        (b":", "", None),
        (b"{a:b:c}", "a", None),
        (b"{Int:id}", "Int", None),
        ("{név}".encode(), "név", None),
    ],
)
def test_parameter_forms(segment, name, validator):
    tree = RadixTree()
    tree.insert(b"/p/" + segment, "r")
    child = node_at(tree, b"p").param_child
    assert child.segment == segment
    assert child.param_name == name
    assert child.param_validator is (getattr(routing, validator) if validator else None)
    assert child.route == "r" and child.is_leaf
    # The same answer straight from the native-only operation.
    assert tree_parse_param_segment(tree, segment) == (name, getattr(routing, validator) if validator else None)


@pytest.mark.parametrize(
    "segment, expected",
    [(b"{rest:path}", ("rest", "path")), (b"<path:p>", ("p", "path")), (b"plain", ("plain", None)),
     (b"a:int", ("a", routing._INT_RX)), (b"{", ("{", None))],
)
def test_parse_param_segment_native_operation(segment, expected):
    assert tree_parse_param_segment(RadixTree(), segment) == expected


def test_parse_param_segment_rejects_invalid_utf8():
    with pytest.raises(UnicodeDecodeError):
        tree_parse_param_segment(RadixTree(), b"{\xff}")


def test_first_parameter_child_wins_later_pattern_replaces_route():
    tree = RadixTree()
    tree.insert(b"/items/{id:int}", "first")
    tree.insert(b"/items/{slug}", "second")
    child = node_at(tree, b"items").param_child
    assert child.param_name == "id" and child.param_validator is routing._INT_RX
    assert child.route == "second"
    assert child.param_child is None and child.children == {}


# ---- wildcards ------------------------------------------------------------------------------------

def test_path_parameter_is_a_named_wildcard_and_ends_the_pattern():
    tree = RadixTree()
    tree.insert(b"/files/{rest:path}/ignored", "r")
    files = node_at(tree, b"files")
    assert files.wildcard_name == "rest" and files.wildcard_suffix is None
    assert files.wildcard_child.segment == b"*" and files.wildcard_child.route == "r"
    assert files.wildcard_child.children == {} and files.param_child is None


@pytest.mark.parametrize(
    "pattern, key, suffix",
    [(b"/static/*.CSS", b"static", b".css"), (b"/x/*", b"x", None), (b"/x/*/more", b"x", None),
     (b"/x/*Tail", b"x", b"tail")],
)
def test_wildcard_suffix(pattern, key, suffix):
    tree = RadixTree()
    tree.insert(pattern, "r")
    node = node_at(tree, key)
    assert node.wildcard_name == "tail" and node.wildcard_suffix == suffix
    assert node.wildcard_child.route == "r" and node.wildcard_child.children == {}


def test_last_wildcard_registration_decides_name_and_suffix():
    tree = RadixTree()
    tree.insert(b"/d/*.css", "a")
    tree.insert(b"/d/{rest:path}", "b")
    d = node_at(tree, b"d")
    assert (d.wildcard_name, d.wildcard_suffix, d.wildcard_child.route) == ("rest", None, "b")
    tree.insert(b"/d/*.JS", "c")
    assert (d.wildcard_name, d.wildcard_suffix, d.wildcard_child.route) == ("tail", b".js", "c")


def test_root_wildcard():
    tree = RadixTree()
    tree.insert(b"/*", "all")
    assert tree.root.wildcard_child.route == "all" and tree.root.route is None


# ---- value names ----------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "names, route_names, expected",
    [
        ([b"id", "name"], None, ["id", "name"]),
        (None, ["a", b"b"], ["a", "b"]),
        (None, ("t",), ["t"]),
        (None, [], None),
        (None, None, None),
        (["x"], ["ignored"], ["x"]),
        ([], ["from-route"], []),
    ],
)
def test_param_names_recorded_on_the_route_node(names, route_names, expected):
    tree = RadixTree()
    route = Route(b"/u/{a}/{b}", param_names=route_names)
    tree.insert(b"/u/{a}/{b}", route, names)
    node = node_at(tree, b"u").param_child.param_child
    assert node.param_names == expected
    if names is not None:
        assert node.param_names is not names


def test_param_names_are_replaced_by_a_later_registration():
    tree = RadixTree()
    tree.insert(b"/u/{a}", "r1", ["a"])
    tree.insert(b"/u/{b}", "r2")
    node = node_at(tree, b"u").param_child
    assert node.route == "r2" and node.param_names is None


@pytest.mark.parametrize(
    "names, error",
    [([b"\xff"], UnicodeDecodeError), ([1], AttributeError), (["ok", None], AttributeError)],
)
def test_bad_param_names(names, error):
    tree = RadixTree()
    with pytest.raises(error):
        tree.insert(b"/u/{a}", "r", names)
    # The route itself was already registered when the names failed.
    assert node_at(tree, b"u").param_child.route == "r"


def test_route_param_names_attribute_errors_propagate():
    class Broken:
        @property
        def param_names(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        RadixTree().insert(b"/x", Broken())


def test_invalid_utf8_in_parameter_keeps_what_was_built():
    tree = RadixTree()
    with pytest.raises(UnicodeDecodeError):
        tree.insert(b"/a/b/{\xff}/c", "r")
    assert node_at(tree, b"a", b"b").param_child is None
    assert tree.static_routes == {}
    assert tree.match(b"/a/b") is None


# ---- argument and attribute checks ----------------------------------------------------------------

@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda t: t.insert(None, "r"), TypeError, "object of type 'NoneType' has no len()"),
        (lambda t: t.insert("/x", "r"), TypeError,
         "Argument 'pattern' has incorrect type (expected bytes, got str)"),
        (lambda t: t.insert(bytearray(b"/x"), "r"), TypeError,
         "Argument 'pattern' has incorrect type (expected bytes, got bytearray)"),
        (lambda t: t.insert(b"/x", "r", ("a",)), TypeError,
         "Argument 'param_names' has incorrect type (expected list, got tuple)"),
        (lambda t: t.insert(b"/x"), TypeError, "insert() takes at least 2 positional arguments (1 given)"),
        (lambda t: t.insert(b"/x", 1, None, 2), TypeError,
         "insert() takes at most 3 positional arguments (4 given)"),
        (lambda t: t.match("/x"), TypeError, "Argument 'path' has incorrect type (expected bytes, got str)"),
        (lambda t: t.match(None), TypeError, "argument of type 'NoneType' is not a container or iterable"),
        (lambda t: t.match(), TypeError, "match() takes exactly 1 positional argument (0 given)"),
        (lambda t: RadixTree(1), TypeError, "RadixTree() takes exactly 0 positional arguments (1 given)"),
        (lambda t: RadixNode("x"), TypeError, "Argument 'segment' has incorrect type (expected bytes, got str)"),
        (lambda t: CythonRadixRouter(1), TypeError,
         "CythonRadixRouter() takes exactly 0 positional arguments (1 given)"),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error) as info:
        call(RadixTree())
    assert str(info.value) == message


def test_keywords_accepted():
    tree = RadixTree()
    tree.insert(pattern=b"/k/{v}", route="r", param_names=["v"])
    assert tree.match(path=b"/k/1") == ("r", {"v": "1"})
    assert RadixNode(segment=None).segment is None


def test_node_defaults():
    node = RadixNode()
    assert node.segment == b""
    assert node.children == {}
    assert [node.route, node.param_child, node.param_name, node.param_names, node.param_validator,
            node.wildcard_child, node.wildcard_name, node.wildcard_suffix] == [None] * 8
    assert node.is_leaf is False
    assert RadixNode().children is not node.children
    tree = RadixTree()
    assert isinstance(tree.root, RadixNode) and tree.root.segment == b"" and tree.static_routes == {}
    assert CythonRadixRouter().trees == {}


NODE = "quillmoth.routing.RadixNode"


@pytest.mark.parametrize(
    "make, attribute, value, message",
    [
        (RadixNode, "segment", "s", "Expected bytes, got str"),
        (RadixNode, "children", [], "Expected dict, got list"),
        (RadixNode, "param_child", 1, f"Cannot convert int to {NODE}"),
        (RadixNode, "wildcard_child", RadixTree(), f"Cannot convert quillmoth.routing.RadixTree to {NODE}"),
        (RadixNode, "param_name", b"x", "Expected str, got bytes"),
        (RadixNode, "param_names", ("a",), "Expected list, got tuple"),
        (RadixNode, "wildcard_name", 1, "Expected str, got int"),
        (RadixNode, "wildcard_suffix", "x", "Expected bytes, got str"),
        (RadixTree, "root", "x", f"Cannot convert str to {NODE}"),
        (RadixTree, "static_routes", [], "Expected dict, got list"),
        (CythonRadixRouter, "trees", [], "Expected dict, got list"),
        (lambda: RouteMatch(Route(b"/")), "_values", [], "Expected dict, got list"),
    ],
)
def test_typed_attributes_reject_other_types(make, attribute, value, message):
    obj = make()
    before = getattr(obj, attribute)
    with pytest.raises(TypeError) as info:
        setattr(obj, attribute, value)
    assert str(info.value) == message
    assert getattr(obj, attribute) is before


@pytest.mark.parametrize(
    "make, attribute, value",
    [
        (RadixNode, "route", object()),
        (RadixNode, "param_validator", 42),
        (RadixNode, "param_child", RadixNode()),
        (RadixNode, "children", {b"k": RadixNode()}),
        (RadixTree, "root", RadixNode()),
        (lambda: RouteMatch(Route(b"/")), "handler", 3),
        (lambda: RouteMatch(Route(b"/")), "_values", {"a": "b"}),
    ],
)
def test_typed_attributes_accept_their_type_and_delete_to_none(make, attribute, value):
    obj = make()
    setattr(obj, attribute, value)
    assert getattr(obj, attribute) is value
    setattr(obj, attribute, None)
    assert getattr(obj, attribute) is None
    setattr(obj, attribute, value)
    delattr(obj, attribute)
    assert getattr(obj, attribute) is None


def test_is_leaf_is_a_bool_field_that_cannot_be_deleted():
    node = RadixNode()
    node.is_leaf = 1
    assert node.is_leaf is True
    node.is_leaf = []
    assert node.is_leaf is False
    with pytest.raises(NotImplementedError, match="__del__"):
        del node.is_leaf


# ---- scale ------------------------------------------------------------------------------------------

def test_ten_thousand_routes():
    tree = RadixTree()
    for i in range(10_000):
        tree.insert(b"/r%d/{id:int}/s%d" % (i % 100, i), i)
        tree.insert(b"/static/%d" % i, -i)
    assert tree.match(b"/r42/7/s9942") == (9942, {"_p_1": "7"})
    assert tree.match(b"/static/9999") == (-9999, None)
    assert tree.match(b"/r42/x/s9942") is None
    assert len(tree.static_routes) == 20_000


def test_very_deep_pattern_builds_matches_and_is_released():
    depth = 100_000
    tree = RadixTree()
    tree.insert(b"/x" * depth, "deep")
    tree.insert(b"/{p}" * 3000 + b"/*", "params")
    assert tree.match(b"/X" * depth) == ("deep", None)
    # Deep search through the parameter chain: every segment captured.
    route, values = tree.match(b"/v" * 3000 + b"/t/u")
    assert route == "params" and len(values) == 3001
    assert values["_p_2999"] == "v" and values["tail"] == "t/u"
    del tree
    gc.collect()
