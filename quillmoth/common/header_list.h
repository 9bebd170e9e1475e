// Scans over a raw header list: a list of (name, value) tuples of bytes, in arrival order, names in
// any letter case. The Headers collection and the Message header operations both look names up in
// such a list; they differ only in what they accept of an element that is not a plain pair, which
// each gives as a callback.
//
// A lookup lowers its key once; each stored name is lowered on the fly while it is compared, so a
// scan allocates nothing. The hot loop runs over plain elements (an exact tuple whose name is
// exact bytes) without taking references or running any Python code; an element of another shape
// goes to the caller's `match_irregular`, which may run Python code (a __getitem__, a lower()), so
// the list is re-read after it.
#pragma once

#include "args.h"
#include "fold.h"
#include "ref.h"

namespace qm {

// What a scan requires of a plain element; anything else is irregular.
enum class PairShape {
    Indexed,    // an exact tuple of at least one item (the name is item 0)
    Pair,       // an exact tuple of exactly two items
    BytesPair,  // an exact 2-tuple whose value is exact bytes or None
};

namespace detail {

inline bool is_bytes_or_none(PyObject* obj) noexcept { return obj == Py_None || PyBytes_CheckExact(obj); }

// From `start`, the index of the first element that is either a plain element whose name matches
// the lowered key, or irregular (then `*irregular` is set); `n` when neither occurs. Most names
// differ in length from the key and cost one comparison.
template <PairShape kShape>
inline Py_ssize_t find_plain_match(PyObject* const* items, Py_ssize_t start, Py_ssize_t n, const char* key,
                                   Py_ssize_t key_len, bool* irregular) noexcept {
    for (Py_ssize_t i = start; i < n; ++i) {
        PyObject* element = items[i];
        const bool plain_tuple = PyTuple_CheckExact(element) && (kShape == PairShape::Indexed
                                                                     ? PyTuple_GET_SIZE(element) >= 1
                                                                     : PyTuple_GET_SIZE(element) == 2);
        if (QM_UNLIKELY(!plain_tuple)) {
            *irregular = true;
            return i;
        }
        PyObject* name = PyTuple_GET_ITEM(element, 0);
        if (QM_UNLIKELY(!PyBytes_CheckExact(name) ||
                        (kShape == PairShape::BytesPair && !is_bytes_or_none(PyTuple_GET_ITEM(element, 1))))) {
            *irregular = true;
            return i;
        }
        if (PyBytes_GET_SIZE(name) != key_len) continue;
        if (equals_lowered_n(PyBytes_AS_STRING(name), key, static_cast<size_t>(key_len))) {
            *irregular = false;
            return i;
        }
    }
    return n;
}

}  // namespace detail

// Whether the bytes `name` (any bytes object) lowered equals the lowered key.
inline bool bytes_name_matches(PyObject* name, const char* key, size_t key_len) noexcept {
    return static_cast<size_t>(PyBytes_GET_SIZE(name)) == key_len &&
           equals_lowered_n(PyBytes_AS_STRING(name), key, key_len);
}

// Walks `list` (a list) and calls `on_match(element)` for each element whose name matches the
// lowered key `key[0 .. key_len)`, in list order. `match_irregular(element)` decides for an
// element that is not plain: 1 match, 0 no match, -1 error. Both callbacks get a borrowed element
// that is held for the duration of the call. `on_match` returns 0 to go on, 1 to stop, -1 on error.
// The scan returns 1 when stopped, 0 at the end, -1 on error.
template <PairShape kShape, typename MatchIrregular, typename OnMatch>
[[nodiscard]] int scan_header_list(PyObject* list, const char* key, size_t key_len, MatchIrregular&& match_irregular,
                                   OnMatch&& on_match) noexcept {
    const auto length = static_cast<Py_ssize_t>(key_len);
    for (Py_ssize_t i = 0;; ++i) {
        // Re-read on every round: code run by a callback may change the list.
        const Py_ssize_t n = PyList_GET_SIZE(list);
        bool irregular = false;
        i = detail::find_plain_match<kShape>(reinterpret_cast<PyListObject*>(list)->ob_item, i, n, key, length,
                                             &irregular);
        if (i >= n) return 0;
        Ref element = Ref::borrow(PyList_GET_ITEM(list, i));
        if (irregular) {
            int match = match_irregular(element.get());
            if (match < 0) return -1;
            if (!match) continue;
        }
        if (int r = on_match(element.get())) return r;
    }
}

// "need more than 1 value to unpack" / "too many values to unpack (expected 2)".
QM_COLD inline Failure raise_unpack_count(Py_ssize_t got) noexcept {
    if (got > 2) return raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}

// `first, second = element`: exactly two items from a tuple, a list or any iterable, as new
// references in `first` and `second`.
[[nodiscard]] inline bool unpack_pair(PyObject* element, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(element) || PyList_CheckExact(element)) {
        Py_ssize_t n = Py_SIZE(element);
        if (n != 2) return raise_unpack_count(n);
        PyObject** items = PyTuple_CheckExact(element) ? &PyTuple_GET_ITEM(element, 0)
                                                        : reinterpret_cast<PyListObject*>(element)->ob_item;
        first.reset_borrowed(items[0]);
        second.reset_borrowed(items[1]);
        return true;
    }
    Ref iterator(PyObject_GetIter(element));
    if (!iterator) return false;
    first.reset(PyIter_Next(iterator.get()));
    if (!first) return PyErr_Occurred() ? kFailed : raise_unpack_count(0);
    second.reset(PyIter_Next(iterator.get()));
    if (!second) return PyErr_Occurred() ? kFailed : raise_unpack_count(1);
    Ref extra(PyIter_Next(iterator.get()));
    if (extra) return raise_unpack_count(3);
    return !PyErr_Occurred();
}

// list.remove(item): the first element equal to `item` goes; ValueError "list.remove(x): x not in
// list" when there is none. Same comparisons, in the same order, as the list method.
[[nodiscard]] inline int list_remove(PyObject* list, PyObject* item) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref current = Ref::borrow(PyList_GET_ITEM(list, i));
        int equal = PyObject_RichCompareBool(current.get(), item, Py_EQ);
        if (equal < 0) return -1;
        // The comparison may have run code that shortened the list; the slice is clamped then.
        if (equal > 0) return PyList_SetSlice(list, i, i + 1, nullptr);
    }
    return raise_error(PyExc_ValueError, "list.remove(x): x not in list");
}

}  // namespace qm
