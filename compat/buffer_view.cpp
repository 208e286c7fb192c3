#include "compat/buffer_view.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <new>

namespace plix::py {
namespace {

constexpr bool little_endian_host = std::endian::native == std::endian::little;

// What the element type demands of a buffer: the kind of the format code, its size and
// the name used in messages.
struct ElementTraits {
    char kind;  // 'R' real, 'I' signed integer
    std::size_t size;
    const char* name;
};

constexpr ElementTraits traits_of(ElementType type) {
    return type == ElementType::real64 ? ElementTraits{'R', sizeof(double), "double"}
                                       : ElementTraits{'I', sizeof(std::int32_t), "int"};
}

// Kind of a struct-module format code: 'I' signed integer, 'U' unsigned or bool, 'R' real,
// 'C' complex, 'H' character, '?' anything else.
// The format tables read best one group of cases a line.
// clang-format off
char kind_of(char code, bool complex) {
    switch (code) {
        case 'b': case 'h': case 'i': case 'l': case 'q': return 'I';
        case 'B': case 'H': case 'I': case 'L': case 'Q': case '?': return 'U';
        case 'f': case 'd': case 'g': return complex ? 'C' : 'R';
        case 'c': return 'H';
        default: return '?';
    }
}

std::size_t native_size(char code, bool complex) {
    std::size_t size = 0;
    switch (code) {
        case 'c': case 'b': case 'B': case '?': size = 1; break;
        case 'h': case 'H': size = sizeof(short); break;
        case 'i': case 'I': size = sizeof(int); break;
        case 'l': case 'L': size = sizeof(long); break;
        case 'q': case 'Q': size = sizeof(long long); break;
        case 'f': size = sizeof(float); break;
        case 'd': size = sizeof(double); break;
        case 'g': size = sizeof(long double); break;
        case 'P': size = sizeof(void*); break;
        default: return 0;
    }
    return complex ? 2 * size : size;
}

// Sizes of the struct module's standard mode (byte-order marks = < > !).
std::size_t standard_size(char code, bool complex) {
    std::size_t size = 0;
    switch (code) {
        case 'c': case 'b': case 'B': case '?': size = 1; break;
        case 'h': case 'H': size = 2; break;
        case 'i': case 'I': case 'l': case 'L': case 'f': size = 4; break;
        case 'q': case 'Q': case 'd': size = 8; break;
        default: return 0;
    }
    return complex ? 2 * size : size;
}

const char* describe(char code, bool complex) {
    switch (code) {
        case '?': return "'bool'";
        case 'c': return "'char'";
        case 'b': return "'signed char'";
        case 'B': return "'unsigned char'";
        case 'h': return "'short'";
        case 'H': return "'unsigned short'";
        case 'i': return "'int'";
        case 'I': return "'unsigned int'";
        // A 64-bit integer is described as 'long long' whichever of l and q names it.
        case 'l': return sizeof(long) == sizeof(long long) ? "'long long'" : "'long'";
        case 'L':
            return sizeof(long) == sizeof(long long) ? "'unsigned long long'" : "'unsigned long'";
        case 'q': return "'long long'";
        case 'Q': return "'unsigned long long'";
        case 'f': return complex ? "'complex float'" : "'float'";
        case 'd': return complex ? "'complex double'" : "'double'";
        case 'g': return complex ? "'complex long double'" : "'long double'";
        case 'T': return "a struct";
        case 'O': return "Python object";
        case 'P': return "a pointer";
        case 's': case 'p': return "a string";
        case '\0': return "end";
        default: return "unparsable format string";
    }
}

// clang-format on

bool is_byte_order_mark(char c) {
    return c == '@' || c == '=' || c == '<' || c == '>' || c == '!' || c == '^';
}

bool raise_dtype_mismatch(const char* expected_name, char found, bool complex) {
    const char* quote = expected_name != nullptr ? "'" : "";
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", quote,
                 expected_name != nullptr ? expected_name : "end", quote, describe(found, complex));
    return false;
}

// Checks that the format string describes exactly one element of the wanted type in an
// acceptable byte order.
bool check_format(const char* format, const ElementTraits& want) {
    const char* p = format != nullptr ? format : "B";
    char order = '@';
    if (is_byte_order_mark(*p)) order = *p++;
    if (little_endian_host && (order == '>' || order == '!')) {
        PyErr_SetString(PyExc_ValueError,
                        "Big-endian buffer not supported on little-endian compiler");
        return false;
    }
    if (!little_endian_host && order == '<') {
        PyErr_SetString(PyExc_ValueError,
                        "Little-endian buffer not supported on big-endian compiler");
        return false;
    }
    const bool complex = *p == 'Z';
    if (complex) ++p;
    const char code = *p;
    const bool native = order == '@' || order == '^';
    const std::size_t size = native ? native_size(code, complex) : standard_size(code, complex);
    if (kind_of(code, complex) != want.kind || size != want.size)
        return raise_dtype_mismatch(want.name, code, complex);
    if (code != '\0' && p[1] != '\0') return raise_dtype_mismatch(nullptr, p[1], false);
    return true;
}

bool check_dimensions(const Py_buffer& view, int ndim) {
    if (view.ndim == ndim) return true;
    PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)",
                 ndim, view.ndim);
    return false;
}

bool check_item_size(const Py_buffer& view, const ElementTraits& want) {
    const auto found = static_cast<std::size_t>(view.itemsize);
    if (found == want.size) return true;
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)", found,
                 found == 1 ? "" : "s", want.name, want.size, want.size == 1 ? "" : "s");
    return false;
}

bool check_contiguous(const Py_buffer& view) {
    if (PyBuffer_IsContiguous(&view, 'C')) return true;
    PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
    return false;
}

}  // namespace

void BufferView::Release::operator()(Py_buffer* view) const noexcept {
    PyBuffer_Release(view);
    delete view;
}

BufferView::~BufferView() = default;
BufferView::BufferView(BufferView&&) noexcept = default;
BufferView& BufferView::operator=(BufferView&&) noexcept = default;

bool BufferView::acquire(PyObject* obj, ElementType type, int ndim) {
    release();
    auto* raw = new (std::nothrow) Py_buffer{};
    if (raw == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    if (PyObject_GetBuffer(obj, raw, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
        delete raw;
        return false;
    }
    // The buffer stays at one address from export to release, whatever moves the view.
    buffer_.reset(raw);
    const ElementTraits want = traits_of(type);
    if (check_dimensions(*raw, ndim) && check_format(raw->format, want) &&
        check_item_size(*raw, want) && check_contiguous(*raw))
        return true;
    release();
    return false;
}

void BufferView::release() noexcept { buffer_.reset(); }

Py_ssize_t BufferView::extent(int dim) const {
    if (empty() || dim < 0 || dim >= buffer_->ndim || buffer_->shape == nullptr) return 0;
    return buffer_->shape[dim];
}

bool BufferView::aligned_for(ElementType type) const {
    const std::size_t alignment =
        type == ElementType::real64 ? alignof(double) : alignof(std::int32_t);
    return empty() || reinterpret_cast<std::uintptr_t>(buffer_->buf) % alignment == 0;
}

std::vector<std::int32_t> BufferView::copy_ints() const {
    std::vector<std::int32_t> out(static_cast<std::size_t>(extent(0)));
    if (!out.empty()) std::memcpy(out.data(), buffer_->buf, out.size() * sizeof(std::int32_t));
    return out;
}

AlignedDoubles::AlignedDoubles(const BufferView& view) {
    const auto n = static_cast<std::size_t>(view.extent(0));
    if (view.aligned_for(ElementType::real64)) {
        values_ = std::span<const double>(view.doubles(), n);
        return;
    }
    copy_.resize(n);
    if (n > 0) std::memcpy(copy_.data(), view.bytes(), n * sizeof(double));
    values_ = copy_;
}

}  // namespace plix::py
