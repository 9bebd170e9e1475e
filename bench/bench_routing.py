"""Route matching: quillmoth.routing against Starlette's and Litestar's routers, side by side.

Each router gets an equivalent table of N routes (N = 20, 200, 2000): N - 4 static routes
/api/v1/resource<i>/list plus four routes with parameters. For each case the script prints the
nanoseconds per match (best of 31 short runs, the routers taking turns) and how many times slower each peer is.

Each router is called as directly as its interface allows (bound methods through functools.partial;
a Python wrapper only where the peer's interface needs one).

- quillmoth: CythonRadixRouter.get_match(method, path), the parameter routes registered with their
  param_names so that values come back under their names, as the peers return them.
- Starlette: what its Router does to resolve a request, without calling the endpoint: each route's
  matches(scope) in order until a full match (Starlette routers are a linear scan).
- Litestar: ASGIRouter._handle_routing(path, method), its routing-trie lookup. The app also wraps
  that lookup in an lru_cache (ASGIRouter.handle_routing); the cache is left out so that the router
  itself is measured, and its figure is printed separately for reference. Litestar reports a miss by
  raising NotFoundException, so its miss case runs inside a try block.

Run: .venv/bin/python bench/bench_routing.py
"""

import functools
import gc
import re
import time

from litestar import Litestar, get
from starlette.routing import Match, Route as StarletteRoute

from quillmoth.routing import CythonRadixRouter, RadixTree

SIZES = (20, 200, 2000)

# (case name, quillmoth pattern, Starlette pattern, Litestar pattern, request path)
PARAM_ROUTES = [
    ("one parameter", b"/users/{user_id}", "/users/{user_id}", "/users/{user_id:str}", "/users/alice"),
    ("two parameters, typed int", b"/orgs/{org}/members/{member_id:int}", "/orgs/{org}/members/{member_id:int}",
     "/orgs/{org:str}/members/{member_id:int}", "/orgs/acme/members/1234"),
    ("wildcard tail", b"/files/{rest:path}", "/files/{rest:path}", "/files/{rest:path}",
     "/files/docs/2024/report.pdf"),
    ("a fourth parameter route", b"/shop/{cat}/{item}/reviews", "/shop/{cat}/{item}/reviews",
     "/shop/{cat:str}/{item:str}/reviews", None),
]


def static_paths(n):
    return [f"/api/v1/resource{i}/list" for i in range(n - len(PARAM_ROUTES))]


def cases(n):
    statics = static_paths(n)
    result = [("static route (middle of table)", statics[len(statics) // 2])]
    result += [(name, path) for name, _, _, _, path in PARAM_ROUTES if path]
    result.append(("miss", "/nothing/matches/here"))
    return result


async def endpoint(request):  # pragma: no cover - never called
    return None


def build_quillmoth(n):
    router = CythonRadixRouter()
    for path in static_paths(n):
        router.add_route(b"GET", path.encode(), path)
    for name, pattern, *_ in PARAM_ROUTES:
        router.add_route(b"GET", pattern, name, param_names(pattern))
    return router


def param_names(pattern):
    """Names of a pattern's parameters in order: {name} or {name:type}."""
    return [m.decode() for m in re.findall(rb"\{(\w+)", pattern)]


def build_starlette(n):
    routes = [StarletteRoute(path, endpoint) for path in static_paths(n)]
    routes += [StarletteRoute(pattern, endpoint) for _, _, pattern, _, _ in PARAM_ROUTES]
    return routes


def _litestar_handler(path, name):
    def handler() -> None:  # pragma: no cover - never called
        return None

    return get(path, name=name, sync_to_thread=False)(handler)


def build_litestar(n):
    handlers = [_litestar_handler(path, f"s{i}") for i, path in enumerate(static_paths(n))]
    handlers += [_litestar_handler(pattern, f"p{i}") for i, (_, _, _, pattern, _) in enumerate(PARAM_ROUTES)]
    return Litestar(route_handlers=handlers).asgi_router


def starlette_matcher(routes):
    def match(path):
        scope = {"type": "http", "path": path, "root_path": "", "method": "GET"}
        for route in routes:
            found, child = route.matches(scope)
            if found is Match.FULL:
                return route, child["path_params"]
        return None

    return match


def litestar_matcher(asgi_router, cached=False, expect_miss=False):
    lookup = asgi_router.handle_routing if cached else asgi_router._handle_routing
    if not expect_miss:
        return functools.partial(lookup, method="GET")

    def match(path):
        try:
            return lookup(path, "GET")
        except Exception:  # Litestar signals a miss with NotFoundException
            return None

    return match


def calibrate(fn, arg, budget):
    """Number of calls of fn(arg) that take about `budget` seconds."""
    loops = 1
    while True:
        start = time.perf_counter_ns()
        for _ in range(loops):
            fn(arg)
        elapsed = time.perf_counter_ns() - start
        if elapsed > budget * 1e8:
            return max(1, int(loops * budget * 1e9 / elapsed))
        loops *= 4


def time_side_by_side(contenders, repeats=31, budget=0.01):
    """Best ns per call of each (fn, arg). The contenders take turns within every repeat, so a burst
    of load on the machine hits all of them alike rather than one."""
    loops = [calibrate(fn, arg, budget) for fn, arg in contenders]
    best = [float("inf")] * len(contenders)
    for _ in range(repeats):
        for k, (fn, arg) in enumerate(contenders):
            start = time.perf_counter_ns()
            for _ in range(loops[k]):
                fn(arg)
            best[k] = min(best[k], (time.perf_counter_ns() - start) / loops[k])
    return best


def check_equivalent(n, qm, st, ls):
    # Every router must find the same route (or miss) for every case before timings mean anything.
    for name, path in cases(n):
        ours = qm(path.encode())
        theirs_st = st(path)
        theirs_ls = ls(path)
        assert (ours is None) == (theirs_st is None) == (theirs_ls is None), (name, ours, theirs_st, theirs_ls)
        if ours is not None:
            assert set(ours[1] or {}) == set(theirs_st[1]), (name, ours, theirs_st)


def warm_up(seconds=1.0):
    """Keeps the processor busy on the code under test for a moment before anything is timed."""
    router = build_quillmoth(20)
    routes = starlette_matcher(build_starlette(20))
    deadline = time.perf_counter() + seconds
    while time.perf_counter() < deadline:
        for _ in range(1000):
            router.get_match(b"GET", b"/users/alice")
        routes("/users/alice")


def main():
    gc.disable()
    warm_up()
    print(__doc__.split("\n\n")[0])
    print()
    header = (f"{'routes':>6}  {'case':<32}{'quillmoth':>11}{'Starlette':>12}{'Litestar':>11}"
              f"{'xStarlette':>12}{'xLitestar':>11}{'Litestar(cached)':>18}")
    print(header)
    print("-" * len(header))
    for n in SIZES:
        router = build_quillmoth(n)
        qm = functools.partial(router.get_match, b"GET")
        st = starlette_matcher(build_starlette(n))
        asgi_router = build_litestar(n)
        check_equivalent(n, qm, st, litestar_matcher(asgi_router, expect_miss=True))
        for name, path in cases(n):
            miss = name == "miss"
            ls = litestar_matcher(asgi_router, expect_miss=miss)
            ls_cached = litestar_matcher(asgi_router, cached=True, expect_miss=miss)
            t_qm, t_st, t_ls, t_lc = time_side_by_side(
                [(qm, path.encode()), (st, path), (ls, path), (ls_cached, path)])
            print(f"{n:>6}  {name:<32}{t_qm:>9.0f}ns{t_st:>10.0f}ns{t_ls:>9.0f}ns"
                  f"{t_st / t_qm:>11.1f}x{t_ls / t_qm:>10.1f}x{t_lc:>16.0f}ns")
        print()

    # Building a table of 1,000 routes.
    patterns = [b"/api/v1/resource%d/{id:int}/items/{item}" % i for i in range(500)]
    patterns += [b"/static/section%d/page" % i for i in range(500)]
    best = float("inf")
    for _ in range(5):
        tree = RadixTree()
        start = time.perf_counter_ns()
        for i, pattern in enumerate(patterns):
            tree.insert(pattern, i)
        best = min(best, time.perf_counter_ns() - start)
    st_best = float("inf")
    for _ in range(3):
        start = time.perf_counter_ns()
        [StarletteRoute(p.decode(), endpoint) for p in patterns]
        st_best = min(st_best, time.perf_counter_ns() - start)
    print(f"insert 1,000 routes: quillmoth RadixTree.insert {best / 1e6:.2f} ms "
          f"({best / len(patterns):.0f} ns per route); Starlette Route construction {st_best / 1e6:.2f} ms")


if __name__ == "__main__":
    main()
