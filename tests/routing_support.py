"""Helpers shared by the routing tests: a straightforward Python model of the matcher that reads a
built tree through its public attributes, and ctypes access to the native operation tables."""

import ctypes
from urllib.parse import unquote

from conftest import bind_export, export_signature
from quillmoth import routing


def ref_unquote(raw):
    text = raw.decode("utf-8", "replace")
    return unquote(text) if "%" in text else text


def _wildcard(cur, params, tail):
    wc = cur.wildcard_child
    if wc.param_names and len(wc.param_names) == len(params) + 1:
        return wc.route, dict(zip(wc.param_names, list(params.values()) + [tail]))
    values = dict(params)
    values[cur.wildcard_name or "tail"] = tail
    return wc.route, values


def _search(cur, segs, i, params):
    if i == len(segs):
        if cur.is_leaf and cur.route is not None:
            if cur.param_names is not None and params and len(cur.param_names) == len(params):
                return cur.route, dict(zip(cur.param_names, params.values()))
            return cur.route, (params or None)
        wc = cur.wildcard_child
        if wc is not None and wc.route is not None and cur.wildcard_suffix is None:
            return _wildcard(cur, params, "")
        return None
    seg = segs[i]
    child = cur.children.get(seg.lower())
    if child is not None:
        found = _search(child, segs, i + 1, params)
        if found is not None:
            return found
    child = cur.param_child
    if child is not None and (child.param_validator is None or child.param_validator.match(seg)):
        copy = dict(params)
        copy[f"_p_{i}"] = ref_unquote(seg)
        found = _search(child, segs, i + 1, copy)
        if found is not None:
            return found
    wc = cur.wildcard_child
    if wc is None or wc.route is None:
        return None
    tail = b"/".join(segs[i:])
    suffix = cur.wildcard_suffix
    if suffix is not None:
        if not tail.lower().endswith(suffix):
            return None
        tail = tail[: len(tail) - len(suffix)]
    return _wildcard(cur, params, ref_unquote(tail))


def reference_match(tree, path):
    """What RadixTree.match must return for `path`, computed from the tree's public state."""
    if b"//" in path:
        return None
    if tree.static_routes.get(path) is not None:
        return tree.static_routes[path], None
    norm = path.rstrip(b"/") if len(path) > 1 and path.endswith(b"/") else path
    if tree.static_routes.get(norm) is not None:
        return tree.static_routes[norm], None
    root = tree.root
    if norm in (b"", b"/"):
        if root.route is not None:
            return root.route, None
        wc = root.wildcard_child
        if wc is not None and wc.route is not None and root.wildcard_suffix is None:
            return _wildcard(root, {}, "")
        return None
    return _search(root, [s for s in norm.split(b"/") if s], 0, {})


# ---- native operation tables -------------------------------------------------------------------

OBJECT_HEAD_SIZE = ctypes.sizeof(ctypes.c_ssize_t) + ctypes.sizeof(ctypes.c_void_p)


def native_op(obj, index, *argtypes):
    """The `index`-th entry of `obj`'s operation table as a callable (the GIL stays held)."""
    table = ctypes.c_void_p.from_address(id(obj) + OBJECT_HEAD_SIZE).value
    address = ctypes.c_void_p.from_address(table + index * ctypes.sizeof(ctypes.c_void_p)).value
    return ctypes.PYFUNCTYPE(ctypes.py_object, *argtypes)(address)


P = ctypes.py_object
I = ctypes.c_int


def tree_insert(tree, pattern, route, param_names=None):
    return native_op(tree, 0, P, P, P, P, I)(tree, pattern, route, param_names, 0)


def tree_parse_param_segment(tree, seg):
    return native_op(tree, 1, P, P, I)(tree, seg, 0)


def tree_match(tree, path):
    return native_op(tree, 2, P, P, I)(tree, path, 0)


def tree_match_recursive(tree, node, segments, index, params):
    return native_op(tree, 3, P, P, P, ctypes.c_int32, P, I)(tree, node, segments, index, params, 0)


def router_add_route(router, method, pattern, route, param_names=None):
    return native_op(router, 0, P, P, P, P, P, I)(router, method, pattern, route, param_names, 0)


def router_get_match(router, method, path):
    return native_op(router, 1, P, P, P, I)(router, method, path, 0)


FAST_UNQUOTE_SIGNATURE = export_signature(routing, "_fast_unquote")
_fast_unquote = bind_export(routing, "_fast_unquote", ctypes.py_object, ctypes.py_object, ctypes.c_int)


def fast_unquote(value):
    return _fast_unquote(value, 0)


class Route:
    """A route object as the framework's router layer builds them."""

    def __init__(self, pattern, handler=None, param_names=None):
        self.pattern = pattern
        self.handler = handler if handler is not None else f"handler:{pattern}"
        if param_names is not None:
            self.param_names = param_names

    def __repr__(self):
        return f"Route({self.pattern!r})"
