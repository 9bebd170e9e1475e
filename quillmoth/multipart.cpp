// quillmoth.multipart: a streaming multipart/form-data parser.
//
//   get_boundary_from_header(content_type)      the boundary parameter of a Content-Type value
//   parse_multipart_async(stream, boundary, ...) an async generator of the parts of a body, each a
//                                                MultipartPart (a quillmoth.contents.StreamedFormPart)
//                                                whose stream() gives the part's bytes as they arrive
//   set_default_limits(...), get_default_limits() the limits every parse starts from
//
// The reader
// ----------
// One reader object per parse holds the state the part generator and the part streams share: the
// body's async iterator, the parse phase, and a window over the bytes received and not yet used.
// The window is the last chunk itself while nothing is left over from before it; once a chunk ends
// with bytes that cannot be decided yet (a delimiter cut in two, a header line without its end),
// those bytes move to the front of the carry buffer and the next chunk is appended after them. So
// the reader holds at most one chunk plus what was left over, and what is left over is bounded:
// in a part's body, less than one delimiter ("\r\n--" + boundary); in a header block, at most
// max_header_size bytes; in the preamble, less than one delimiter (the preamble is dropped as it
// is scanned). Neither a whole part nor the whole body is ever held.
//
// A part's data is handed out as soon as it is known not to belong to a delimiter: each chunk gives
// at most one piece of data per part, the chunk object itself when all of it is data and nothing
// was carried over (no copy at all for the body of a large file sent in large chunks).
//
// The delimiter search runs over the window with a vector filter: blocks of 16 (SSE2) or 32 (AVX2)
// positions are tested at once for the delimiter's first byte (CR) and its last byte (the
// boundary's last) at the right distance; only positions passing both are compared in full.
// Binary data rarely passes the filter, so the search moves at memory speed.
//
// The body is taken as browsers, curl and the common Python clients write it (RFC 7578): a
// preamble, then delimiters "--boundary" at the start of a line, each followed by transport
// padding (spaces and tabs) and CRLF, then the part's header lines, an empty line and the part's
// bytes up to the CRLF of the next delimiter; "--boundary--" closes the body, and what follows it
// (the epilogue) is never read. Every departure from that raises BadRequest, as does any limit
// exceeded; nothing else is raised for a body's content.
//
// Python code runs inside the steps wherever they call the body's iterator: such code may resume
// another generator of the same parse. The reader is marked busy while one awaits the body, and
// the others refuse to run meanwhile.
#include "common/coro.h"
#include "common/native.h"
#include "common/percent.h"

#include <cstdarg>
#include <cstring>
#include <iterator>

#if defined(__x86_64__) && defined(__SSE2__)
#include <immintrin.h>
#define QM_MULTIPART_X86 1
#else
#define QM_MULTIPART_X86 0
#endif

namespace qm::multipart {
namespace {

using coro::Frame;
using coro::Function;
using coro::Kind;
using coro::Operation;
using coro::Step;

// ---------------------------------------------------------------------------------------------
// Limits

struct Limits {
    Py_ssize_t max_parts;        // parts in one body
    Py_ssize_t max_header_size;  // bytes of one part's header block, its blank line included
    Py_ssize_t max_headers;      // header lines of one part
    Py_ssize_t max_field_size;   // bytes of a part without a file name
};

constexpr Limits kDefaultLimits = {1000, 16384, 32, 1048576};
constexpr int kLimitCount = 4;
constexpr const char* kLimitNames[kLimitCount] = {"max_parts", "max_header_size", "max_headers", "max_field_size"};

Py_ssize_t& limit_at(Limits& limits, int i) noexcept {
    switch (i) {
        case 0: return limits.max_parts;
        case 1: return limits.max_header_size;
        case 2: return limits.max_headers;
        default: return limits.max_field_size;
    }
}

// The limits in force for parses that do not give their own.
Limits g_limits = kDefaultLimits;

// A boundary longer than this is refused (RFC 2046 allows 70; some clients go a little beyond).
constexpr Py_ssize_t kMaxBoundary = 200;
// Transport padding (spaces and tabs) allowed between a delimiter and its CRLF.
constexpr Py_ssize_t kMaxPadding = 256;
// The carry buffer is given back once empty when it grew beyond this.
constexpr Py_ssize_t kKeepCarry = 65536;

PyObject* g_bad_request = nullptr;        // quillmoth.exceptions.BadRequest
PyObject* g_invalid_operation = nullptr;  // quillmoth.exceptions.InvalidOperation
PyObject* g_streamed_form_part = nullptr; // quillmoth.contents.StreamedFormPart
PyTypeObject* g_reader_type = nullptr;
PyTypeObject* g_part_data_type = nullptr;
PyTypeObject* g_part_type = nullptr;  // MultipartPart

// BadRequest(message), raised.
QM_COLD Failure raise_bad_request(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    Ref message(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (!message) return kFailed;
    return raise_new(g_bad_request, message.get());
}

QM_COLD Failure raise_invalid_operation(const char* message) noexcept {
    return raise_error(g_invalid_operation, message);
}

QM_COLD Failure raise_malformed(const char* what) noexcept {
    return raise_bad_request("Malformed multipart body: %s.", what);
}

// ---------------------------------------------------------------------------------------------
// Byte scanning

inline bool is_tchar(unsigned char c) noexcept {
    // RFC 9110 token characters.
    static constexpr auto table = [] {
        struct T {
            bool v[256];
        } t{};
        for (int c = '0'; c <= '9'; ++c) t.v[c] = true;
        for (int c = 'a'; c <= 'z'; ++c) t.v[c] = true;
        for (int c = 'A'; c <= 'Z'; ++c) t.v[c] = true;
        for (const char* p = "!#$%&'*+-.^_`|~"; *p; ++p) t.v[static_cast<unsigned char>(*p)] = true;
        return t;
    }();
    return table.v[c];
}

inline bool is_ows(char c) noexcept { return c == ' ' || c == '\t'; }

// Whether [p, p + n) equals the lower-case ASCII word `lowered` (n bytes) ignoring letter case.
inline bool equals_ci(const char* p, size_t n, const char* lowered) noexcept {
    if (std::strlen(lowered) != n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(p[i]);
        if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
        if (c != static_cast<unsigned char>(lowered[i])) return false;
    }
    return true;
}

// The first occurrence of the needle d[0..m) (m >= 3) in p[0..n), or -1. `from` is where the
// byte loop starts after the vector loops (positions before it have been tested).
inline Py_ssize_t find_scalar(const char* p, size_t n, const char* d, size_t m, size_t from) noexcept {
    if (n < m) return -1;
    const size_t last = n - m;
    size_t i = from;
    while (i <= last) {
        const void* hit = std::memchr(p + i, d[0], last - i + 1);
        if (!hit) return -1;
        i = static_cast<size_t>(static_cast<const char*>(hit) - p);
        if (p[i + m - 1] == d[m - 1] && std::memcmp(p + i + 1, d + 1, m - 2) == 0) return static_cast<Py_ssize_t>(i);
        ++i;
    }
    return -1;
}

#if QM_MULTIPART_X86

const bool kHaveAvx2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();

// A block at i needs i + m - 1 + width readable bytes (the last-byte load).
inline Py_ssize_t find_sse2(const char* p, size_t n, const char* d, size_t m, size_t* resume) noexcept {
    const __m128i first = _mm_set1_epi8(d[0]);
    const __m128i last = _mm_set1_epi8(d[m - 1]);
    size_t i = 0;
    for (; i + m - 1 + 16 <= n; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + m - 1));
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first),
                                                                              _mm_cmpeq_epi8(b, last))));
        while (mask) {
            size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
            if (std::memcmp(p + at + 1, d + 1, m - 2) == 0) return static_cast<Py_ssize_t>(at);
            mask &= mask - 1;
        }
    }
    *resume = i;
    return -1;
}

__attribute__((target("avx2"))) Py_ssize_t find_avx2(const char* p, size_t n, const char* d, size_t m,
                                                     size_t* resume) noexcept {
    const __m256i first = _mm256_set1_epi8(d[0]);
    const __m256i last = _mm256_set1_epi8(d[m - 1]);
    size_t i = 0;
    for (; i + m - 1 + 32 <= n; i += 32) {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + m - 1));
        unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, first),
                                                                                    _mm256_cmpeq_epi8(b, last))));
        while (mask) {
            size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
            if (std::memcmp(p + at + 1, d + 1, m - 2) == 0) return static_cast<Py_ssize_t>(at);
            mask &= mask - 1;
        }
    }
    *resume = i;
    return -1;
}

#endif

// The first occurrence of the delimiter d[0..m) in p[0..n), or -1.
inline Py_ssize_t find_delimiter(const char* p, size_t n, const char* d, size_t m) noexcept {
    size_t from = 0;
#if QM_MULTIPART_X86
    Py_ssize_t found = kHaveAvx2 ? find_avx2(p, n, d, m, &from) : find_sse2(p, n, d, m, &from);
    if (found >= 0) return found;
    // The positions from `from` on were not tested by the vector loop.
#endif
    return find_scalar(p, n, d, m, from);
}

// The length of the longest end of p[0..n) that begins the delimiter (shorter than the whole
// delimiter, which find_delimiter would have found): those bytes must wait for the next chunk.
inline size_t partial_delimiter(const char* p, size_t n, const char* d, size_t m) noexcept {
    size_t start = n > m - 1 ? n - (m - 1) : 0;
    while (start < n) {
        const void* hit = std::memchr(p + start, d[0], n - start);
        if (!hit) return 0;
        start = static_cast<size_t>(static_cast<const char*>(hit) - p);
        if (std::memcmp(p + start, d, n - start) == 0) return n - start;
        ++start;
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Header values

// Text of a header value: UTF-8 as browsers and clients send it, Latin-1 for bytes that are not
// UTF-8 (each byte one character, so nothing is lost).
PyObject* header_text(const char* p, size_t n) noexcept {
    PyObject* text = PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), nullptr);
    if (text || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    PyErr_Clear();
    return PyUnicode_DecodeLatin1(p, static_cast<Py_ssize_t>(n), nullptr);
}

// A parameter value of a header, decoded into `out` (which holds at least end - p bytes): a quoted
// string, where a backslash escapes a following quote or backslash (any other backslash stands for
// itself, as in the Windows paths some clients send), or a token running to the next ";" with the
// spaces around it trimmed. Advances p past the value. False when a quoted string is not closed.
bool param_value(const char*& p, const char* end, char* out, size_t* out_len) noexcept {
    size_t o = 0;
    if (p < end && *p == '"') {
        ++p;
        while (p < end && *p != '"') {
            if (*p == '\\' && p + 1 < end && (p[1] == '"' || p[1] == '\\')) ++p;
            out[o++] = *p++;
        }
        if (p == end) return false;
        ++p;  // the closing quote
    } else {
        const char* start = p;
        while (p < end && *p != ';') ++p;
        const char* stop = p;
        while (stop > start && is_ows(stop[-1])) --stop;
        o = static_cast<size_t>(stop - start);
        std::memcpy(out, start, o);
    }
    *out_len = o;
    return true;
}

// Iterates the parameters of a header value from `p` (just after the first item): for each
// `name=value`, calls on_param(name, name_len, value, value_len), which returns false on error
// (exception set). A parameter without "=" is skipped. Returns false with BadRequest set (naming
// `header`) when the list is malformed, or when on_param fails.
template <typename OnParam>
bool each_param(const char* p, const char* end, const char* header, OnParam&& on_param) noexcept {
    char* scratch = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(end - p) + 1));
    if (!scratch) return raise_no_memory();
    bool ok = true;
    while (ok) {
        while (p < end && is_ows(*p)) ++p;
        if (p == end) break;
        if (*p != ';') {
            ok = raise_bad_request("Malformed multipart body: bad parameter list in a part's %s header.", header);
            break;
        }
        ++p;
        while (p < end && is_ows(*p)) ++p;
        const char* name = p;
        while (p < end && is_tchar(static_cast<unsigned char>(*p))) ++p;
        size_t name_len = static_cast<size_t>(p - name);
        while (p < end && is_ows(*p)) ++p;
        if (p == end || *p != '=') {
            if (name_len == 0 && p < end && *p != ';') {
                ok = raise_bad_request("Malformed multipart body: bad parameter list in a part's %s header.", header);
            }
            continue;  // a parameter without a value (or an empty one between two ";")
        }
        if (name_len == 0) {
            ok = raise_bad_request("Malformed multipart body: bad parameter list in a part's %s header.", header);
            break;
        }
        ++p;
        while (p < end && is_ows(*p)) ++p;
        size_t value_len = 0;
        if (!param_value(p, end, scratch, &value_len)) {
            ok = raise_bad_request("Malformed multipart body: unterminated quoted string in a part's %s header.",
                                   header);
            break;
        }
        ok = on_param(name, name_len, scratch, value_len);
    }
    PyMem_Free(scratch);
    return ok;
}

// The value of a filename* parameter (RFC 8187: charset'language'percent-encoded), or null with
// no error when it cannot be decoded (an unknown charset, bad bytes): the plain filename is used
// then. Null with an error only when memory runs out.
PyObject* extended_value(const char* p, size_t n) noexcept {
    const char* end = p + n;
    const char* quote1 = static_cast<const char*>(std::memchr(p, '\'', n));
    if (!quote1) return nullptr;
    const char* quote2 = static_cast<const char*>(std::memchr(quote1 + 1, '\'', static_cast<size_t>(end - quote1 - 1)));
    if (!quote2) return nullptr;
    const char* encoding;
    size_t charset_len = static_cast<size_t>(quote1 - p);
    if (equals_ci(p, charset_len, "utf-8") || equals_ci(p, charset_len, "utf8")) {
        encoding = "utf-8";
    } else if (equals_ci(p, charset_len, "iso-8859-1") || equals_ci(p, charset_len, "latin1") ||
               equals_ci(p, charset_len, "latin-1")) {
        encoding = "latin-1";
    } else if (equals_ci(p, charset_len, "us-ascii") || equals_ci(p, charset_len, "ascii")) {
        encoding = "ascii";
    } else {
        return nullptr;
    }
    const char* value = quote2 + 1;
    size_t value_len = static_cast<size_t>(end - value);
    char* decoded = static_cast<char*>(PyMem_Malloc(value_len + 1));
    if (!decoded) return raise_no_memory();
    size_t decoded_len = percent::unquote_into(value, value_len, decoded);
    PyObject* text = PyUnicode_Decode(decoded, static_cast<Py_ssize_t>(decoded_len), encoding, "strict");
    PyMem_Free(decoded);
    if (!text && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) PyErr_Clear();
    return text;
}

// ---------------------------------------------------------------------------------------------
// The reader

enum class Phase : uint8_t {
    kPreamble,        // before the first delimiter
    kAfterDelimiter,  // just past a delimiter: "--" closes the body, padding and CRLF start a part
    kHeaders,         // in a part's header lines
    kBody,            // in a part's bytes
    kDone,            // the closing delimiter was read
    kFailed,          // stopped; `error` says why
};

enum class Event : uint8_t { kNeedMore, kPart, kData, kPartEnd, kDone, kError };

struct ReaderObject {
    PyObject_HEAD
    PyObject* source;        // the body's async iterator
    PyObject* chunk;         // the chunk the window lies in, or null (the window is the carry)
    PyObject* error;         // why the reader stopped (phase kFailed), or null
    PyObject* name;          // the part being read: its headers' values (str), or null
    PyObject* file_name;
    PyObject* content_type;
    PyObject* charset;
    const char* window;      // PyBytes_AS_STRING(chunk), or carry
    Py_ssize_t window_len;
    Py_ssize_t pos;          // the first byte of the window not used yet
    char* carry;
    Py_ssize_t carry_cap;
    char* delimiter;         // "\r\n--" + boundary
    Py_ssize_t delimiter_len;
    Limits limits;
    Py_ssize_t parts;        // parts begun
    Py_ssize_t part_size;    // bytes of the current part's body so far
    Py_ssize_t header_bytes; // bytes of the current header block so far
    Py_ssize_t headers;      // header lines of the current part so far
    Py_ssize_t scanned;      // bytes from pos already searched for a line end (header phase)
    Py_ssize_t padding;      // padding bytes after the current delimiter so far
    Phase phase;
    bool disposition_seen;
    bool content_type_seen;
    bool file_name_given;    // a filename parameter was present (even empty)
    bool eof;                // the body's iterator is exhausted
    bool busy;               // a generator awaits the body's iterator
};

using ReaderFields = ObjectFields<ReaderObject, &ReaderObject::source, &ReaderObject::chunk, &ReaderObject::error,
                                  &ReaderObject::name, &ReaderObject::file_name, &ReaderObject::content_type,
                                  &ReaderObject::charset>;

inline ReaderObject* as_reader(PyObject* op) noexcept { return reinterpret_cast<ReaderObject*>(op); }

void reader_dealloc(PyObject* op) noexcept {
    ReaderObject* r = as_reader(op);
    PyMem_Free(r->carry);
    PyMem_Free(r->delimiter);
    r->carry = nullptr;
    r->delimiter = nullptr;
    ReaderFields::dealloc(op);
}

// Null when memory runs out.
ReaderObject* new_reader(PyObject* source, const char* boundary, Py_ssize_t boundary_len, const Limits& limits) noexcept {
    ReaderObject* r = PyObject_GC_New(ReaderObject, g_reader_type);
    if (!r) return nullptr;
    r->source = Py_NewRef(source);
    r->chunk = r->error = r->name = r->file_name = r->content_type = r->charset = nullptr;
    r->delimiter_len = boundary_len + 4;
    r->delimiter = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(r->delimiter_len)));
    r->carry_cap = 256;
    r->carry = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(r->carry_cap)));
    r->limits = limits;
    r->parts = r->part_size = r->header_bytes = r->headers = r->scanned = r->padding = 0;
    r->phase = Phase::kPreamble;
    r->disposition_seen = r->content_type_seen = r->file_name_given = false;
    r->eof = r->busy = false;
    PyObject_GC_Track(r);
    if (!r->delimiter || !r->carry) {
        Py_DECREF(r);
        return raise_no_memory();
    }
    std::memcpy(r->delimiter, "\r\n--", 4);
    std::memcpy(r->delimiter + 4, boundary, static_cast<size_t>(boundary_len));
    // The body reads as if a line break came before it, so that a first delimiter at its very
    // start is found by the same search as every later one.
    r->carry[0] = '\r';
    r->carry[1] = '\n';
    r->window = r->carry;
    r->window_len = 2;
    r->pos = 0;
    return r;
}

// Stops the reader with the pending exception, kept for the other generators of the parse.
Event fail(ReaderObject* r) noexcept {
    PyObject* exc = PyErr_GetRaisedException();
    replace_field(&r->error, Py_NewRef(exc));
    PyErr_SetRaisedException(exc);
    r->phase = Phase::kFailed;
    replace_field(&r->chunk, nullptr);
    r->window = r->carry;
    r->window_len = r->pos = 0;
    return Event::kError;
}

// Raises again what stopped the reader: the same exception when it was an error of the body or
// of its iterator, InvalidOperation when the parse was interrupted (cancelled, closed).
Failure raise_stopped(ReaderObject* r) noexcept {
    PyObject* error = r->error;
    if (error && PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) {
        PyErr_SetRaisedException(Py_NewRef(error));
        return kFailed;
    }
    return raise_invalid_operation("The multipart body can no longer be read: its parse was interrupted.");
}

// Takes in the next chunk of the body (None chunks, which a message without content streams, are
// skipped). The window then starts with what was left of the previous one.
bool feed(ReaderObject* r, PyObject* chunk) noexcept {
    if (chunk == Py_None) return true;
    Ref bytes;
    if (PyBytes_CheckExact(chunk)) {
        bytes = Ref::borrow(chunk);
    } else if (PyByteArray_Check(chunk) || PyMemoryView_Check(chunk) || PyBytes_Check(chunk)) {
        bytes.reset(PyBytes_FromObject(chunk));
        if (!bytes) return false;
    } else {
        return raise_expected("bytes", chunk);
    }
    Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
    if (size == 0) return true;
    Py_ssize_t pending = r->window_len - r->pos;
    if (pending == 0) {
        if (r->carry_cap > kKeepCarry) {
            char* small = static_cast<char*>(PyMem_Realloc(r->carry, 256));
            if (small) {
                r->carry = small;
                r->carry_cap = 256;
            }
        }
        replace_field(&r->chunk, bytes.release());
        r->window = PyBytes_AS_STRING(r->chunk);
        r->window_len = size;
        r->pos = 0;
        return true;
    }
    Py_ssize_t needed = pending + size;
    if (needed > r->carry_cap) {
        Py_ssize_t cap = r->carry_cap * 2 > needed ? r->carry_cap * 2 : needed;
        char* grown;
        if (r->chunk) {
            // The pending bytes lie in the chunk: the carry's old content is not needed.
            PyMem_Free(r->carry);
            r->carry = nullptr;
            grown = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(cap)));
        } else {
            if (r->pos > 0) std::memmove(r->carry, r->carry + r->pos, static_cast<size_t>(pending));
            r->pos = 0;
            grown = static_cast<char*>(PyMem_Realloc(r->carry, static_cast<size_t>(cap)));
        }
        if (!grown) {
            if (!r->carry) r->carry_cap = 0;
            return raise_no_memory();
        }
        r->carry = grown;
        r->carry_cap = cap;
    }
    if (r->chunk) {
        std::memcpy(r->carry, r->window + r->pos, static_cast<size_t>(pending));
        replace_field(&r->chunk, nullptr);
    } else if (r->pos > 0) {
        std::memmove(r->carry, r->carry + r->pos, static_cast<size_t>(pending));
    }
    std::memcpy(r->carry + pending, PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(size));
    r->window = r->carry;
    r->window_len = needed;
    r->pos = 0;
    return true;
}

// The body's end came while more was needed.
Event fail_truncated(ReaderObject* r) noexcept {
    if (r->phase == Phase::kHeaders) {
        (void)raise_malformed("it ends inside a part's headers");
    } else if (r->phase == Phase::kPreamble) {
        (void)raise_malformed("no boundary delimiter found");
    } else {
        (void)raise_malformed("it ends before the closing boundary delimiter");
    }
    return fail(r);
}

// The part's next piece of data (kData, *data a new reference, or discarded when `data` is null),
// or kPartEnd once the delimiter after the part has been read, or kNeedMore.
Event body_step(ReaderObject* r, PyObject** data) noexcept {
    if (r->phase != Phase::kBody) return Event::kPartEnd;
    const char* p = r->window + r->pos;
    size_t n = static_cast<size_t>(r->window_len - r->pos);
    size_t m = static_cast<size_t>(r->delimiter_len);
    Py_ssize_t found = find_delimiter(p, n, r->delimiter, m);
    size_t data_len;
    Py_ssize_t next;
    if (found >= 0) {
        data_len = static_cast<size_t>(found);
        next = r->pos + found + r->delimiter_len;
    } else {
        data_len = n - partial_delimiter(p, n, r->delimiter, m);
        next = r->pos + static_cast<Py_ssize_t>(data_len);
    }
    if (data_len > 0) {
        r->part_size += static_cast<Py_ssize_t>(data_len);
        if (!r->file_name_given && r->part_size > r->limits.max_field_size) {
            (void)raise_bad_request("Multipart field %R exceeds the limit of %zd bytes (max_field_size).",
                                    r->name ? r->name : Py_None, r->limits.max_field_size);
            return fail(r);
        }
        if (data) {
            if (r->chunk && r->pos == 0 && data_len == n) {
                *data = Py_NewRef(r->chunk);
            } else {
                *data = PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(data_len));
                if (!*data) return fail(r);
            }
        }
    }
    r->pos = next;
    if (found >= 0) {
        r->phase = Phase::kAfterDelimiter;
        r->padding = 0;
    }
    if (data_len > 0 && data) return Event::kData;
    return found >= 0 ? Event::kPartEnd : Event::kNeedMore;
}

// Content-Disposition: form-data; name="..."; filename="..."; filename*=UTF-8''...
bool parse_disposition(ReaderObject* r, const char* p, const char* end) noexcept {
    if (r->disposition_seen) return raise_malformed("a part has two Content-Disposition headers");
    r->disposition_seen = true;
    const char* type = p;
    while (p < end && *p != ';') ++p;
    const char* type_end = p;
    while (type_end > type && is_ows(type_end[-1])) --type_end;
    if (!equals_ci(type, static_cast<size_t>(type_end - type), "form-data")) {
        return raise_malformed("a part's Content-Disposition is not form-data");
    }
    Ref extended;
    bool extended_seen = false;
    bool ok = each_param(p, end, "Content-Disposition", [&](const char* name, size_t name_len, const char* value,
                                                            size_t value_len) noexcept -> bool {
        if (equals_ci(name, name_len, "name")) {
            if (r->name) return raise_malformed("a part's Content-Disposition gives two names");
            r->name = header_text(value, value_len);
            return r->name != nullptr;
        }
        if (equals_ci(name, name_len, "filename")) {
            if (r->file_name_given && r->file_name) {
                return raise_malformed("a part's Content-Disposition gives two file names");
            }
            r->file_name_given = true;
            r->file_name = header_text(value, value_len);
            return r->file_name != nullptr;
        }
        if (equals_ci(name, name_len, "filename*")) {
            if (extended_seen) return raise_malformed("a part's Content-Disposition gives two file names");
            extended_seen = true;
            extended.reset(extended_value(value, value_len));
            return extended || !PyErr_Occurred();
        }
        return true;
    });
    if (!ok) return false;
    if (extended) {
        // The encoded name is the exact one; the plain one is its fallback for older readers.
        r->file_name_given = true;
        replace_field(&r->file_name, extended.release());
    }
    return true;
}

// Content-Type: media/type; charset=...
bool parse_content_type(ReaderObject* r, const char* p, const char* end) noexcept {
    if (r->content_type_seen) return raise_malformed("a part has two Content-Type headers");
    r->content_type_seen = true;
    const char* type = p;
    while (p < end && *p != ';') ++p;
    const char* type_end = p;
    while (type_end > type && is_ows(type_end[-1])) --type_end;
    if (type_end > type) {
        r->content_type = header_text(type, static_cast<size_t>(type_end - type));
        if (!r->content_type) return false;
    }
    return each_param(p, end, "Content-Type", [&](const char* name, size_t name_len, const char* value,
                                                  size_t value_len) noexcept -> bool {
        if (!equals_ci(name, name_len, "charset") || r->charset || value_len == 0) return true;
        r->charset = header_text(value, value_len);
        return r->charset != nullptr;
    });
}

// One header line of a part (without its CRLF).
bool parse_header_line(ReaderObject* r, const char* line, size_t n) noexcept {
    if (++r->headers > r->limits.max_headers) {
        return raise_bad_request("A multipart part has more than %zd headers (max_headers).", r->limits.max_headers);
    }
    const char* colon = static_cast<const char*>(std::memchr(line, ':', n));
    if (!colon || colon == line) return raise_malformed("bad header line in a part");
    for (const char* c = line; c < colon; ++c) {
        if (!is_tchar(static_cast<unsigned char>(*c))) return raise_malformed("bad header line in a part");
    }
    const char* end = line + n;
    // A NUL, or a CR or LF that is not the line's end, could make two readers see different lines.
    for (const char* c = colon + 1; c < end; ++c) {
        if (*c == '\0' || *c == '\r' || *c == '\n') return raise_malformed("bad header line in a part");
    }
    const char* value = colon + 1;
    while (value < end && is_ows(*value)) ++value;
    while (end > value && is_ows(end[-1])) --end;
    size_t name_len = static_cast<size_t>(colon - line);
    if (equals_ci(line, name_len, "content-disposition")) return parse_disposition(r, value, end);
    if (equals_ci(line, name_len, "content-type")) return parse_content_type(r, value, end);
    return true;  // other headers (Content-Transfer-Encoding, ...) carry nothing for a form
}

void clear_part_headers(ReaderObject* r) noexcept {
    replace_field(&r->name, nullptr);
    replace_field(&r->file_name, nullptr);
    replace_field(&r->content_type, nullptr);
    replace_field(&r->charset, nullptr);
    r->disposition_seen = r->content_type_seen = r->file_name_given = false;
    r->header_bytes = r->headers = r->scanned = 0;
}

// Runs the parse up to the next part's headers (kPart: r->name and the others describe it), the
// closing delimiter (kDone), or the end of what has been received (kNeedMore). The rest of the
// current part's data, if its stream did not take it, is skipped.
Event next_part(ReaderObject* r) noexcept {
    for (;;) {
        switch (r->phase) {
            case Phase::kPreamble: {
                const char* p = r->window + r->pos;
                size_t n = static_cast<size_t>(r->window_len - r->pos);
                size_t m = static_cast<size_t>(r->delimiter_len);
                Py_ssize_t found = find_delimiter(p, n, r->delimiter, m);
                if (found < 0) {
                    r->pos += static_cast<Py_ssize_t>(n - partial_delimiter(p, n, r->delimiter, m));
                    return Event::kNeedMore;
                }
                r->pos += found + r->delimiter_len;
                r->phase = Phase::kAfterDelimiter;
                r->padding = 0;
                continue;
            }
            case Phase::kBody: {
                Event e = body_step(r, nullptr);
                if (e != Event::kPartEnd) return e;
                continue;
            }
            case Phase::kAfterDelimiter: {
                const char* w = r->window;
                while (r->pos < r->window_len && is_ows(w[r->pos])) {
                    if (++r->padding > kMaxPadding) {
                        (void)raise_malformed("unexpected bytes after a boundary delimiter");
                        return fail(r);
                    }
                    ++r->pos;
                }
                if (r->window_len - r->pos < 2) return Event::kNeedMore;
                char a = w[r->pos], b = w[r->pos + 1];
                if (a == '-' && b == '-' && r->padding == 0) {
                    r->pos += 2;
                    r->phase = Phase::kDone;
                    replace_field(&r->chunk, nullptr);
                    r->window = r->carry;
                    r->window_len = r->pos = 0;
                    return Event::kDone;
                }
                if (a != '\r' || b != '\n') {
                    (void)raise_malformed("unexpected bytes after a boundary delimiter");
                    return fail(r);
                }
                r->pos += 2;
                if (++r->parts > r->limits.max_parts) {
                    (void)raise_bad_request("The multipart body has more than %zd parts (max_parts).",
                                            r->limits.max_parts);
                    return fail(r);
                }
                clear_part_headers(r);
                r->phase = Phase::kHeaders;
                continue;
            }
            case Phase::kHeaders: {
                const char* line = r->window + r->pos;
                size_t n = static_cast<size_t>(r->window_len - r->pos);
                size_t from = r->scanned > 0 ? static_cast<size_t>(r->scanned - 1) : 0;
                const char* crlf = nullptr;
                while (from + 1 < n) {
                    const char* cr = static_cast<const char*>(std::memchr(line + from, '\r', n - from - 1));
                    if (!cr) break;
                    if (cr[1] == '\n') {
                        crlf = cr;
                        break;
                    }
                    from = static_cast<size_t>(cr - line) + 1;
                }
                if (!crlf) {
                    if (r->header_bytes + static_cast<Py_ssize_t>(n) > r->limits.max_header_size) {
                        (void)raise_bad_request("A multipart part's headers exceed %zd bytes (max_header_size).",
                                                r->limits.max_header_size);
                        return fail(r);
                    }
                    r->scanned = static_cast<Py_ssize_t>(n);
                    return Event::kNeedMore;
                }
                size_t len = static_cast<size_t>(crlf - line);
                r->header_bytes += static_cast<Py_ssize_t>(len) + 2;
                if (r->header_bytes > r->limits.max_header_size) {
                    (void)raise_bad_request("A multipart part's headers exceed %zd bytes (max_header_size).",
                                            r->limits.max_header_size);
                    return fail(r);
                }
                r->pos += static_cast<Py_ssize_t>(len) + 2;
                r->scanned = 0;
                if (len > 0) {
                    if (!parse_header_line(r, line, len)) return fail(r);
                    continue;
                }
                if (!r->name) {
                    (void)raise_malformed("a part has no Content-Disposition header with a name");
                    return fail(r);
                }
                r->phase = Phase::kBody;
                r->part_size = 0;
                return Event::kPart;
            }
            case Phase::kDone: return Event::kDone;
            case Phase::kFailed:
                (void)raise_stopped(r);
                return Event::kError;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The parts
//
// Each part is a MultipartPart: a native subclass of quillmoth.contents.StreamedFormPart that
// adds no field. Its `_data_provider` is the part's PartData (the reader and the part's number),
// and its stream() is native: it reads the part's bytes from the reader directly. Calling the
// PartData, as the base class's stream() would, gives the same native stream.

struct PartDataObject {
    PyObject_HEAD
    PyObject* reader;
    Py_ssize_t index;  // which part of the body (1 for the first)
    bool taken;        // a stream of it has begun
};

using PartDataFields = ObjectFields<PartDataObject, &PartDataObject::reader>;

inline PartDataObject* as_part_data(PyObject* op) noexcept { return reinterpret_cast<PartDataObject*>(op); }

// The slots of StreamedFormPart that a part is made with, set through their descriptors.
enum PartField { kFieldName, kFieldFileName, kFieldContentType, kFieldCharset, kFieldProvider, kFieldCount };
constexpr const char* kPartFieldNames[kFieldCount] = {"name", "file_name", "content_type", "charset",
                                                      "_data_provider"};
PyObject* g_part_fields[kFieldCount] = {};

// What came back from the body's iterator: a chunk, its end, or its error (which stops the parse).
bool take_chunk(ReaderObject* r, PyObject* sent) noexcept {
    r->busy = false;
    if (sent) {
        if (feed(r, sent)) return true;
        (void)fail(r);
        return false;
    }
    if (PyErr_ExceptionMatches(PyExc_StopAsyncIteration)) {
        PyErr_Clear();
        r->eof = true;
        return true;
    }
    (void)fail(r);
    return false;
}

QM_COLD Failure raise_busy() noexcept {
    return raise_error(PyExc_RuntimeError, "another generator of this multipart parse is reading the body");
}

// A part's stream is an async iterator whose __anext__ is a native coroutine: the next piece of the
// part's data, awaiting chunks of the body as needed. (An async generator would do as well, but the
// event loop's hooks, which it must apply to every async generator, would cost more than the rest
// of a small field's stream.) The part's bytes can be streamed once, before the next part is read.
struct PartStreamObject {
    PyObject_HEAD
    PyObject* part_data;  // the PartData
    bool usable;          // it took the part's data (no other stream did before)
    bool ended;           // its end was given, or it was closed
};

using PartStreamFields = ObjectFields<PartStreamObject, &PartStreamObject::part_data>;
PyTypeObject* g_part_stream_type = nullptr;

inline PartStreamObject* as_part_stream(PyObject* op) noexcept { return reinterpret_cast<PartStreamObject*>(op); }

// A new stream over the part of `part_data`.
PyObject* new_part_stream(PyObject* part_data) noexcept {
    PartStreamObject* stream = PyObject_GC_New(PartStreamObject, g_part_stream_type);
    if (!stream) return nullptr;
    PartDataObject* pd = as_part_data(part_data);
    stream->part_data = Py_NewRef(part_data);
    stream->usable = !pd->taken;
    stream->ended = false;
    pd->taken = true;
    PyObject_GC_Track(stream);
    return reinterpret_cast<PyObject*>(stream);
}

// async def __anext__(self):
//     refuse unless this stream took the part's data and the parse is still in the part
//     return the next piece of the part's data (awaiting chunks of the body), or raise
//     StopAsyncIteration at its end
enum PartNextSlot { kPnStream };
enum PartNextState { kPnStart, kPnGotChunk };

Step part_next_pump(Frame& f, PartStreamObject* stream) noexcept {
    PartDataObject* pd = as_part_data(stream->part_data);
    ReaderObject* r = as_reader(pd->reader);
    for (;;) {
        if (r->phase == Phase::kFailed) return raise_stopped(r);
        if (r->parts != pd->index) {
            return raise_invalid_operation(
                "The data of this multipart part is no longer available: the parse has moved past it.");
        }
        PyObject* data = nullptr;
        switch (body_step(r, &data)) {
            case Event::kData: return Frame::ret(data);
            case Event::kPartEnd:
                stream->ended = true;
                PyErr_SetNone(PyExc_StopAsyncIteration);
                return kFailed;
            case Event::kNeedMore:
                if (r->eof) {
                    (void)fail_truncated(r);
                    return kFailed;
                }
                r->busy = true;
                return f.await(kPnGotChunk, coro::anext(r->source));
            default: return kFailed;
        }
    }
}

Step part_next_step(Frame& f, PyObject* sent) noexcept {
    PartStreamObject* stream = as_part_stream(f[kPnStream]);
    switch (f.state) {
        case kPnStart: {
            if (stream->ended) {
                PyErr_SetNone(PyExc_StopAsyncIteration);
                return kFailed;
            }
            if (!stream->usable) return raise_invalid_operation("The data of this multipart part was already read.");
            ReaderObject* r = as_reader(as_part_data(stream->part_data)->reader);
            if (r->phase == Phase::kFailed) return raise_stopped(r);
            if (r->busy) return raise_busy();
            return part_next_pump(f, stream);
        }
        case kPnGotChunk:
            if (!take_chunk(as_reader(as_part_data(stream->part_data)->reader), sent)) return kFailed;
            return part_next_pump(f, stream);
    }
    return coro::bad_state(f);
}

constexpr Operation kPartNextOp{"MultipartPart.stream.__anext__", part_next_step};

PyObject* part_stream_anext(PyObject* op) noexcept { return coro::start(kPartNextOp, op); }

PyObject* part_stream_aiter(PyObject* op) noexcept { return Py_NewRef(op); }

// aclose(): the stream ends; what is left of the part is skipped when the next part is read.
PyObject* part_stream_aclose(PyObject* op, PyObject*) noexcept {
    as_part_stream(op)->ended = true;
    return coro::ready(Py_None);
}

PyObject* part_stream_repr(PyObject* op) noexcept {
    return PyUnicode_FromFormat("<multipart part stream %zd>", as_part_data(as_part_stream(op)->part_data)->index);
}

PyObject* part_data_call(PyObject* op, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        return raise_arg_count("part_data", 0, 0, PyTuple_GET_SIZE(args));
    }
    return new_part_stream(op);
}

PyObject* part_data_repr(PyObject* op) noexcept {
    return PyUnicode_FromFormat("<multipart part data %zd>", as_part_data(op)->index);
}

// MultipartPart.stream(): the native stream, or, for a part whose `_data_provider` Python code
// replaced, what the base class's stream() gives.
PyObject* py_part_stream(PyObject* self, PyObject*) noexcept {
    PyObject* descr = g_part_fields[kFieldProvider];
    Ref provider(Py_TYPE(descr)->tp_descr_get(descr, self, reinterpret_cast<PyObject*>(g_part_type)));
    if (!provider) return nullptr;
    if (Py_IS_TYPE(provider.get(), g_part_data_type)) return new_part_stream(provider.get());
    Ref base_stream(PyObject_GetAttrString(g_streamed_form_part, "stream"));
    return base_stream ? PyObject_CallOneArg(base_stream.get(), self) : nullptr;
}

// The MultipartPart of the part whose headers the reader has just read.
PyObject* make_part(ReaderObject* r) noexcept {
    PartDataObject* pd = PyObject_GC_New(PartDataObject, g_part_data_type);
    if (!pd) return nullptr;
    pd->reader = Py_NewRef(reinterpret_cast<PyObject*>(r));
    pd->index = r->parts;
    pd->taken = false;
    PyObject_GC_Track(pd);
    Ref provider(reinterpret_cast<PyObject*>(pd));
    Ref part(g_part_type->tp_alloc(g_part_type, 0));
    if (!part) return nullptr;
    auto value = [](PyObject* v) { return v ? v : Py_None; };
    PyObject* values[kFieldCount] = {r->name, value(r->file_name), value(r->content_type), value(r->charset),
                                     provider.get()};
    for (int i = 0; i < kFieldCount; ++i) {
        PyObject* descr = g_part_fields[i];
        if (Py_TYPE(descr)->tp_descr_set(descr, part.get(), values[i]) < 0) return nullptr;
    }
    return part.release();
}

// ---------------------------------------------------------------------------------------------
// parse_multipart_async

// The boundary as bytes: bytes, or a str of Latin-1 characters. ValueError when it is empty, too
// long, or holds a line break.
PyObject* boundary_bytes(PyObject* boundary) noexcept {
    Ref bytes;
    if (PyBytes_Check(boundary)) {
        bytes = Ref::borrow(boundary);
    } else if (PyUnicode_Check(boundary)) {
        bytes.reset(PyUnicode_AsLatin1String(boundary));
        if (!bytes) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return nullptr;
            PyErr_Clear();
            return raise_error(PyExc_ValueError, "The multipart boundary must be ASCII.");
        }
    } else {
        return raise_arg_type("boundary", "bytes", boundary);
    }
    Py_ssize_t n = PyBytes_GET_SIZE(bytes.get());
    const char* p = PyBytes_AS_STRING(bytes.get());
    if (n == 0 || n > kMaxBoundary) {
        return raise_format(PyExc_ValueError, "The multipart boundary must have 1 to %zd bytes.", kMaxBoundary);
    }
    if (std::memchr(p, '\r', static_cast<size_t>(n)) || std::memchr(p, '\n', static_cast<size_t>(n))) {
        return raise_error(PyExc_ValueError, "The multipart boundary cannot hold a line break.");
    }
    return bytes.release();
}

// A limit argument: None for the default in force, else an int >= 0.
bool limit_arg(PyObject* value, const char* name, Py_ssize_t* out) noexcept {
    if (value == Py_None) return true;
    if (!PyLong_Check(value) || PyBool_Check(value)) return raise_arg_type(name, "int", value);
    Py_ssize_t n = PyLong_AsSsize_t(value);
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 0) return raise_format(PyExc_ValueError, "%s must not be negative", name);
    *out = n;
    return true;
}

enum ParseSlot { kPStream, kPBoundary, kPLimits, kPReader = kPLimits + kLimitCount, kPError };
enum ParseState { kPStart, kPYielded, kPGotChunk, kPClosedAfterError, kPClosedAtEnd };

// Leaves with the pending exception, closing the body's iterator first unless it is what failed
// or another generator is awaiting it.
Step leave_with_error(Frame& f, ReaderObject* r, bool close_source) noexcept {
    if (!close_source || r->busy) return kFailed;
    f.stash_error(kPError);
    PyObject* closing = coro::aclose_of(r->source);
    if (!closing) return PyErr_Occurred() ? Step(kFailed) : f.reraise(kPError);
    return f.await(kPClosedAfterError, closing);
}

// async def parse_multipart_async(stream, boundary, max_parts=None, max_header_size=None,
//                                 max_headers=None, max_field_size=None):
//     source = aiter(stream)
//     while (part := next part's headers, awaiting chunks of the body) is not the end:
//         yield StreamedFormPart(name, part_data, file_name, content_type, charset)
//     await source.aclose()
// A parser error closes the source too before it goes on; so does an exception thrown in at a
// yield (aclose()), after which the parts' streams refuse to run.
Step parse_pump(Frame& f, ReaderObject* r) noexcept {
    for (;;) {
        if (r->busy) return raise_busy();
        switch (next_part(r)) {
            case Event::kPart: {
                PyObject* part = make_part(r);
                if (!part) {
                    (void)fail(r);
                    return leave_with_error(f, r, true);
                }
                return f.yield(kPYielded, part);
            }
            case Event::kDone: {
                PyObject* closing = coro::aclose_of(r->source);
                if (!closing) return PyErr_Occurred() ? Step(kFailed) : Frame::ret_none();
                return f.await(kPClosedAtEnd, closing);
            }
            case Event::kNeedMore:
                if (r->eof) {
                    (void)fail_truncated(r);
                    return leave_with_error(f, r, true);
                }
                r->busy = true;
                return f.await(kPGotChunk, coro::anext(r->source));
            default:
                // An error of the body's iterator was raised where it came; this one is the parse's.
                return leave_with_error(f, r, !(r->error && !PyErr_GivenExceptionMatches(r->error, g_bad_request)));
        }
    }
}

Step parse_step(Frame& f, PyObject* sent) noexcept {
    switch (f.state) {
        case kPStart: {
            Limits limits = g_limits;
            for (int i = 0; i < kLimitCount; ++i) {
                if (!limit_arg(f[kPLimits + i], kLimitNames[i], &limit_at(limits, i))) return kFailed;
            }
            Ref boundary(boundary_bytes(f[kPBoundary]));
            if (!boundary) return kFailed;
            Ref source(PyObject_GetAIter(f[kPStream]));
            if (!source) return kFailed;
            ReaderObject* r = new_reader(source.get(), PyBytes_AS_STRING(boundary.get()),
                                         PyBytes_GET_SIZE(boundary.get()), limits);
            if (!r) return kFailed;
            f.set(kPReader, reinterpret_cast<PyObject*>(r));
            return parse_pump(f, r);
        }
        case kPYielded: {
            ReaderObject* r = as_reader(f[kPReader]);
            if (sent) return parse_pump(f, r);
            // Thrown in at the yield (aclose(), athrow()): the parse ends here.
            if (r->phase != Phase::kFailed) {
                PyObject* exc = PyErr_GetRaisedException();
                (void)raise_invalid_operation("The multipart parse was closed.");
                (void)fail(r);
                PyErr_SetRaisedException(exc);
            }
            return leave_with_error(f, r, true);
        }
        case kPGotChunk: {
            ReaderObject* r = as_reader(f[kPReader]);
            if (!take_chunk(r, sent)) return kFailed;
            return parse_pump(f, r);
        }
        case kPClosedAfterError:
            // An error of aclose() replaces the one that was going on.
            return sent ? f.reraise(kPError) : Step(kFailed);
        case kPClosedAtEnd:
            return sent ? Frame::ret_none() : Step(kFailed);
    }
    return coro::bad_state(f);
}

constexpr Operation kParseOp{"parse_multipart_async", parse_step, Kind::kAsyncGenerator};

// ---------------------------------------------------------------------------------------------
// get_boundary_from_header

PyObject* py_get_boundary_from_header(PyObject*, PyObject* content_type) noexcept {
    Ref bytes;
    if (PyBytes_Check(content_type)) {
        bytes = Ref::borrow(content_type);
    } else if (PyUnicode_Check(content_type)) {
        bytes.reset(PyUnicode_AsUTF8String(content_type));
        if (!bytes) return nullptr;
    } else {
        return raise_arg_type("content_type", "bytes", content_type);
    }
    const char* p = PyBytes_AS_STRING(bytes.get());
    const char* end = p + PyBytes_GET_SIZE(bytes.get());
    const char* semicolon = static_cast<const char*>(std::memchr(p, ';', static_cast<size_t>(end - p)));
    Ref boundary;
    if (semicolon) {
        bool ok = each_param(semicolon, end, "Content-Type", [&](const char* name, size_t name_len, const char* value,
                                                                  size_t value_len) noexcept -> bool {
            if (boundary || !equals_ci(name, name_len, "boundary")) return true;
            boundary.reset(PyBytes_FromStringAndSize(value, static_cast<Py_ssize_t>(value_len)));
            return static_cast<bool>(boundary);
        });
        if (!ok) {
            if (!PyErr_ExceptionMatches(g_bad_request)) return nullptr;
            PyErr_Clear();
            return raise_error(PyExc_ValueError, "The content type's parameters are malformed.");
        }
    }
    if (!boundary) return raise_error(PyExc_ValueError, "The content type has no boundary parameter.");
    Ref checked(boundary_bytes(boundary.get()));
    if (!checked) return nullptr;
    return boundary.release();
}

// ---------------------------------------------------------------------------------------------
// Default limits

constexpr Signature kSetLimitsSignature = {"set_default_limits", kLimitNames, kLimitCount, 0};

PyObject* py_set_default_limits(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    PyObject* values[kLimitCount] = {Py_None, Py_None, Py_None, Py_None};
    if (!parse_args(kSetLimitsSignature, args, nargs, kwnames, values)) return nullptr;
    Limits limits = g_limits;
    for (int i = 0; i < kLimitCount; ++i) {
        if (!limit_arg(values[i], kLimitNames[i], &limit_at(limits, i))) return nullptr;
    }
    g_limits = limits;
    Py_RETURN_NONE;
}

PyObject* limits_dict(const Limits& source) noexcept {
    Limits limits = source;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (int i = 0; i < kLimitCount; ++i) {
        Ref value(PyLong_FromSsize_t(limit_at(limits, i)));
        if (!value || PyDict_SetItemString(dict.get(), kLimitNames[i], value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyObject* py_get_default_limits(PyObject*, PyObject*) noexcept { return limits_dict(g_limits); }

PyObject* py_reset_default_limits(PyObject*, PyObject*) noexcept {
    g_limits = kDefaultLimits;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------------------------
// The module

constexpr const char* kParseParams[] = {"stream",      "boundary",        "max_parts",
                                        "max_header_size", "max_headers", "max_field_size"};

const Function kModuleFunctions[] = {
    {&kParseOp,
     {"parse_multipart_async", kParseParams, 6, 2},
     "parse_multipart_async(stream, boundary, max_parts=None, max_header_size=None, max_headers=None, "
     "max_field_size=None)\n--\n\n"
     "The parts of the multipart/form-data body that the async iterable `stream` gives in chunks, as\n"
     "StreamedFormPart objects whose stream() yields the part's bytes as they arrive. Limits left at None\n"
     "take the defaults in force (get_default_limits()). A malformed body, or one past a limit, raises\n"
     "BadRequest."},
};

PyMethodDef module_methods[] = {
    {"get_boundary_from_header", py_get_boundary_from_header, METH_O,
     "get_boundary_from_header(content_type, /)\n--\n\n"
     "The boundary parameter of a multipart Content-Type value (bytes); ValueError when there is none."},
    QM_FASTCALL_METHOD("set_default_limits", py_set_default_limits,
                       "set_default_limits(max_parts=None, max_header_size=None, max_headers=None, "
                       "max_field_size=None)\n--\n\n"
                       "Sets the limits of every later parse that does not give its own; None keeps a limit as it "
                       "is."),
    {"get_default_limits", py_get_default_limits, METH_NOARGS,
     "get_default_limits($module, /)\n--\n\nThe limits in force, as a dict."},
    {"reset_default_limits", py_reset_default_limits, METH_NOARGS,
     "reset_default_limits($module, /)\n--\n\nPuts the secure defaults back in force."},
    {nullptr, nullptr, 0, nullptr},
};


PyMethodDef part_methods[] = {
    {"stream", py_part_stream, METH_NOARGS,
     "stream($self, /)\n--\n\nThe part's bytes as they arrive, as an async iterator; a part's bytes can be streamed "
     "once, before the next part is read."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef part_stream_methods[] = {
    {"aclose", part_stream_aclose, METH_NOARGS,
     "aclose($self, /)\n--\n\nEnds the stream; the rest of the part is skipped when the next part is read."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot part_stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("The bytes of one part of a multipart body, as they arrive.")},
    QM_FIELD_GC_SLOTS(PartStreamFields),
    {Py_am_aiter, reinterpret_cast<void*>(part_stream_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(part_stream_anext)},
    {Py_tp_methods, part_stream_methods},
    {Py_tp_repr, reinterpret_cast<void*>(part_stream_repr)},
    {0, nullptr},
};

PyType_Spec part_stream_spec = {"quillmoth.multipart._PartStream", sizeof(PartStreamObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                    Py_TPFLAGS_IMMUTABLETYPE,
                                part_stream_slots};

PyType_Slot part_slots[] = {
    {Py_tp_doc, const_cast<char*>("A part of a multipart body as the parser delivers it: its name, file name, "
                                  "content type and charset, and stream() over its bytes.")},
    {0, nullptr},
};

// No field of its own: the instance layout is StreamedFormPart's. The class cannot be immutable as
// the other native classes are: its base, a Python class, is not.
PyType_Spec part_spec = {"quillmoth.multipart.MultipartPart", 0, 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, part_slots};

PyTypeObject* add_part_type(PyObject* module) noexcept {
    Ref type(PyType_FromModuleAndSpec(module, &part_spec, g_streamed_form_part));
    if (!type || PyModule_AddObjectRef(module, "MultipartPart", type.get()) < 0) return nullptr;
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// The descriptors of StreamedFormPart's slots, which every part is made with.
bool bind_part_fields() noexcept {
    for (int i = 0; i < kFieldCount; ++i) {
        Ref name(PyUnicode_InternFromString(kPartFieldNames[i]));
        if (!name) return false;
        PyObject* descr = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(g_streamed_form_part), name.get());
        if (!descr || !Py_TYPE(descr)->tp_descr_set) {
            return raise_format(PyExc_ImportError, "quillmoth.contents.StreamedFormPart has no slot %s",
                                kPartFieldNames[i]);
        }
        g_part_fields[i] = Py_NewRef(descr);
    }
    return true;
}

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("The state of one multipart parse.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(ReaderFields::traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(ReaderFields::clear)},
    {0, nullptr},
};

PyType_Spec reader_spec = {"quillmoth.multipart._Reader", sizeof(ReaderObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                               Py_TPFLAGS_IMMUTABLETYPE,
                           reader_slots};

PyType_Slot part_data_slots[] = {
    {Py_tp_doc, const_cast<char*>("The bytes of one part of a multipart parse: calling it starts their stream.")},
    QM_FIELD_GC_SLOTS(PartDataFields),
    {Py_tp_call, reinterpret_cast<void*>(part_data_call)},
    {Py_tp_repr, reinterpret_cast<void*>(part_data_repr)},
    {0, nullptr},
};

PyType_Spec part_data_spec = {"quillmoth.multipart._PartData", sizeof(PartDataObject), 0,
                              Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                                  Py_TPFLAGS_IMMUTABLETYPE,
                              part_data_slots};

PyModuleDef module_def = make_module_def(
    "quillmoth.multipart",
    "A streaming multipart/form-data parser: get_boundary_from_header, parse_multipart_async and their limits.",
    module_methods);

void release_state() noexcept {
    clear_refs(g_bad_request, g_invalid_operation, g_streamed_form_part, g_reader_type, g_part_data_type,
               g_part_type, g_part_stream_type);
    for (PyObject*& field : g_part_fields) Py_CLEAR(field);
    coro::release_types();
    g_limits = kDefaultLimits;
}

PyObject* build_module() noexcept {
    if (!(g_bad_request = import_attr("quillmoth.exceptions", "BadRequest")) ||
        !(g_invalid_operation = import_attr("quillmoth.exceptions", "InvalidOperation")) ||
        !(g_streamed_form_part = reinterpret_cast<PyObject*>(import_class("quillmoth.contents", "StreamedFormPart"))) ||
        !bind_part_fields()) {
        return nullptr;
    }
    Ref module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (!(g_reader_type = new_module_type(module.get(), &reader_spec)) ||
        !(g_part_data_type = new_module_type(module.get(), &part_data_spec)) ||
        !(g_part_stream_type = new_module_type(module.get(), &part_stream_spec))) {
        return nullptr;
    }
    if (!(g_part_type = add_part_type(module.get()))) return nullptr;
    if (!coro::add_types(module.get()) ||
        !coro::add_functions(module.get(), kModuleFunctions, std::size(kModuleFunctions)) ||
        !add_type_methods(g_part_type, part_methods)) {
        return nullptr;
    }
    const char* const constants[kLimitCount] = {"DEFAULT_MAX_PARTS", "DEFAULT_MAX_HEADER_SIZE", "DEFAULT_MAX_HEADERS",
                                                "DEFAULT_MAX_FIELD_SIZE"};
    Limits defaults = kDefaultLimits;
    for (int i = 0; i < kLimitCount; ++i) {
        if (PyModule_AddIntConstant(module.get(), constants[i], static_cast<long>(limit_at(defaults, i))) < 0) {
            return nullptr;
        }
    }
    if (PyModule_AddIntConstant(module.get(), "MAX_BOUNDARY_LENGTH", static_cast<long>(kMaxBoundary)) < 0) {
        return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace qm::multipart

PyMODINIT_FUNC PyInit_multipart(void) {
    return qm::init_module(qm::multipart::build_module, qm::multipart::release_state);
}
