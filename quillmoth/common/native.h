// The shared native layer every module of the package compiles against.
//
// Conventions of the module sources, the same in every module:
//  - Module state lives in globals with the prefix g_: classes `g_<class>_type` (the class name in
//    snake case: g_headers_type, g_radix_tree_type), interned names `g_names[N_<NAME>]` (names.h),
//    the overridable operations `g_overridables[N_<OP>]` (optable.h; their names come first in the
//    enum, in table order), other objects `g_<what>` (g_key_content_type).
//  - A class's functions carry its snake-case name as prefix: table operations `<class>_<op>`
//    (headers_get, message_get_first_header), their Python-visible wrappers `py_<class>_<op>`
//    (py_headers_get), slots `<class>_new`, `<class>_init`, `<class>_repr`, ..., attribute
//    accessors `<class>_get_<attr>` / `<class>_set_<attr>`, and the tables `<class>_methods`,
//    `<class>_getset`, `<class>_slots`, `<class>_spec`; `k<Class>Ops` is its operation table and
//    `<Class>Fields` its field list (object.h). Module functions visible to Python are
//    `py_<function>`.
//  - Init is `build_module()` run through qm::init_module with `release_state()`, which clears
//    every global, so that a failed import leaves nothing behind for the next attempt.
//  - Error paths return the raisers' qm::Failure (`return qm::raise_expected("bytes", value);`),
//    or qm::kFailed when a failed call has set the exception already.
#pragma once

#include "args.h"
#include "bytes.h"
#include "exports.h"
#include "fields.h"
#include "names.h"
#include "object.h"
#include "optable.h"
#include "ref.h"

// Symbols other native code loads by plain name (the scratchpad arena, the scanning primitives).
#define QM_PUBLIC extern "C" __attribute__((visibility("default")))

