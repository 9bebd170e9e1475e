"""Fuzz target for quillmoth.routing: random patterns go into a tree, random paths are matched.

Checks, for every input:
- insert raises nothing but UnicodeDecodeError (invalid UTF-8 in a parameter or a name);
- match never raises for a bytes path, and returns exactly what a plain Python model of the
  matcher (tests/routing_support.py) computes from the tree's public state;
- the router facade returns the same as the tree, and RouteMatch accepts every result.

Run: .venv/bin/python fuzz/fuzz_routing.py -max_total_time=300
"""

import os
import sys

import atheris

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

with atheris.instrument_imports():
    from routing_support import reference_match

from quillmoth.routing import CythonRadixRouter, RadixTree, RouteMatch

PIECES = [b"a", b"B", b"c", b"{x}", b"{n:int}", b"<float:f>", b"<uuid:u>", b":id", b"*", b"*.CSS", b"{r:path}",
          b"{}", b"%41", b"x.{e}", b"\xff", b"1", b""]
PATH_PIECES = [b"a", b"b", b"B", b"c", b"1", b"12", b"1.5", b"x.css", b"%41", b"%2F", b"\xff", b"12\n",
               b"00000000-0000-0000-0000-000000000000", b""]


class Route:
    def __init__(self, pattern, names):
        self.pattern = pattern
        self.handler = None
        if names is not None:
            self.param_names = names


def make_bytes(fdp, pieces):
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        if fdp.ConsumeBool():
            parts.append(pieces[fdp.ConsumeIntInRange(0, len(pieces) - 1)])
        else:
            parts.append(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 6)))
    joined = b"/".join(parts)
    return joined if fdp.ConsumeBool() else b"/" + joined


def make_names(fdp):
    choice = fdp.ConsumeIntInRange(0, 3)
    if choice == 0:
        return None
    return [fdp.ConsumeBytes(3) if fdp.ConsumeBool() else fdp.ConsumeUnicodeNoSurrogates(3)
            for _ in range(fdp.ConsumeIntInRange(0, 4))]


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    tree = RadixTree()
    router = CythonRadixRouter()
    for i in range(fdp.ConsumeIntInRange(0, 10)):
        pattern = make_bytes(fdp, PIECES)
        names = make_names(fdp)
        route = Route(pattern, names if fdp.ConsumeBool() else None)
        arg_names = names if fdp.ConsumeBool() else None
        for target in (lambda: tree.insert(pattern, route, arg_names),
                       lambda: router.add_route(b"get", pattern, route, arg_names)):
            try:
                target()
            except UnicodeDecodeError:
                pass
    for _ in range(fdp.ConsumeIntInRange(1, 10)):
        path = make_bytes(fdp, PATH_PIECES)
        if fdp.ConsumeBool():
            path += b"/"
        got = tree.match(path)
        want = reference_match(tree, path)
        if got != want:
            raise AssertionError(f"match({path!r}) gave {got!r}, the model {want!r}")
        via_router = router.get_match(b"GET", path)
        expected = reference_match(router.trees[b"GET"], path) if b"GET" in router.trees else None
        if via_router != expected:
            raise AssertionError(f"router gave {via_router!r} for {path!r}, the model {expected!r}")
        if got is not None:
            RouteMatch(got[0], got[1])


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
