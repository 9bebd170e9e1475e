// Declarations of the routing module's native classes: the radix tree of route patterns, its nodes,
// the per-method router and the match result. Native code compiled against this header reaches the
// operations through each object's `ops` table; a Python subclass that redefines `insert`, `match`,
// `add_route` or `get_match` is honoured by such calls. Tables are append-only.
#pragma once

#include "common/native.h"

#include <cstdint>

struct RadixNode;
struct RadixTree;
// Native lookup table over one of the dicts read on every match (private to the routing module).
struct RoutingIndex;
struct RouteMatch;
struct CythonRadixRouter;

// Nodes have no overridable operations; the table exists so that native subclasses can add some.
struct RadixNodeOps {};

struct RadixNode {
    PyObject_HEAD
    const RadixNodeOps* ops;
    PyObject* segment;          // bytes or None
    PyObject* route;            // any object
    PyObject* children;         // dict: lowercased segment -> RadixNode (or None)
    PyObject* param_child;      // RadixNode or None
    PyObject* param_name;       // str or None
    PyObject* param_names;      // list or None
    PyObject* param_validator;  // compiled bytes pattern, any object, or None
    PyObject* wildcard_child;   // RadixNode or None
    PyObject* wildcard_name;    // str or None
    PyObject* wildcard_suffix;  // bytes or None
    int32_t is_leaf;
    RoutingIndex* child_index;  // private: table over `children`, rebuilt after any change to it
};

struct RadixTreeOps {
    // insert(pattern, route, param_names): returns None (new reference) or null with an exception.
    PyObject* (*insert)(RadixTree* self, PyObject* pattern, PyObject* route, PyObject* param_names,
                        int skip_dispatch);
    // _parse_param_segment(seg): returns the tuple (param_name, validator).
    PyObject* (*parse_param_segment)(RadixTree* self, PyObject* seg, int skip_dispatch);
    // match(path): returns (route, values) or None.
    PyObject* (*match)(RadixTree* self, PyObject* path, int skip_dispatch);
    // _match_recursive(current, segments, index, params): returns (route, values) or None.
    PyObject* (*match_recursive)(RadixTree* self, RadixNode* current, PyObject* segments, int32_t index,
                                 PyObject* params, int skip_dispatch);
};

struct RadixTree {
    PyObject_HEAD
    const RadixTreeOps* ops;
    PyObject* root;           // RadixNode or None
    PyObject* static_routes;  // dict or None
    RoutingIndex* static_index;  // private: table over `static_routes`, rebuilt after any change to it
};

struct RouteMatchOps {};

struct RouteMatch {
    PyObject_HEAD
    const RouteMatchOps* ops;
    PyObject* handler;
    PyObject* pattern;
    PyObject* values;  // `_values`: dict or None
    PyObject* route;
};

struct CythonRadixRouterOps {
    PyObject* (*add_route)(CythonRadixRouter* self, PyObject* method, PyObject* pattern, PyObject* route,
                           PyObject* param_names, int skip_dispatch);
    PyObject* (*get_match)(CythonRadixRouter* self, PyObject* method, PyObject* path, int skip_dispatch);
};

struct CythonRadixRouter {
    PyObject_HEAD
    const CythonRadixRouterOps* ops;
    PyObject* trees;  // dict: uppercased method -> RadixTree (or None)
    RoutingIndex* trees_index;  // private: table over `trees`, rebuilt after any change to it
};

// Entries of the module's `__quillmoth_api__` table.
#define QM_ROUTING_FAST_UNQUOTE_SIGNATURE "PyObject *(PyObject *, int)"
