// The shared native layer every module of the package compiles against.
#pragma once

#include "args.h"
#include "bytes.h"
#include "exports.h"
#include "fields.h"
#include "object.h"
#include "optable.h"
#include "ref.h"

// Symbols other native code loads by plain name (the scratchpad arena, the scanning primitives).
#define QM_PUBLIC extern "C" __attribute__((visibility("default")))

// Branch hints for hot paths.
#define QM_LIKELY(x) __builtin_expect(!!(x), 1)
#define QM_UNLIKELY(x) __builtin_expect(!!(x), 0)
