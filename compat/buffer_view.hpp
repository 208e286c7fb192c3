// BufferView: a typed, writable, C-contiguous view of an object's buffer, held for the
// length of a call and released exactly once.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace plix::py {

// 'double' (format d) and 'int' (a signed 4-byte integer: i, or l where long is 4 bytes).
enum class ElementType { real64, int32 };

class BufferView {
  public:
    BufferView() = default;  // empty view (what None converts to)
    ~BufferView();
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView(BufferView&& other) noexcept;
    BufferView& operator=(BufferView&& other) noexcept;

    // Requests a writable, C-contiguous buffer with format, then checks the number of
    // dimensions, the element format and byte order, the item size and contiguity.
    // Returns false with the Python error set (and holds nothing) on failure.
    bool acquire(PyObject* obj, ElementType type, int ndim);
    void release() noexcept;  // idempotent

    bool empty() const { return buffer_ == nullptr; }
    PyObject* object() const { return empty() ? nullptr : buffer_->obj; }  // borrowed
    int ndim() const { return empty() ? 0 : buffer_->ndim; }
    Py_ssize_t extent(int dim) const;  // 0 when empty or out of range
    const void* bytes() const { return empty() ? nullptr : buffer_->buf; }
    double* doubles() const { return empty() ? nullptr : static_cast<double*>(buffer_->buf); }
    std::int32_t* ints() const {
        return empty() ? nullptr : static_cast<std::int32_t*>(buffer_->buf);
    }
    // Whether the data pointer may be dereferenced as an element of the given type: a
    // buffer in standard byte order ("=d") may start at any byte.
    bool aligned_for(ElementType type) const;
    // The elements of a one-dimensional view as plain bytes copied out (never through a
    // typed pointer), for a caller that must not read the buffer again.
    std::vector<std::int32_t> copy_ints() const;

  private:
    // Releases the exported buffer (and with it the reference to the exporter).
    struct Release {
        void operator()(Py_buffer* view) const noexcept;
    };
    std::unique_ptr<Py_buffer, Release> buffer_;
};

// The doubles of a one-dimensional view: read in place when the buffer is aligned for
// double, copied into aligned storage when it is not. May throw std::bad_alloc.
class AlignedDoubles {
  public:
    AlignedDoubles() = default;
    explicit AlignedDoubles(const BufferView& view);
    AlignedDoubles(const AlignedDoubles&) = delete;
    AlignedDoubles& operator=(const AlignedDoubles&) = delete;

    std::span<const double> values() const { return values_; }
    const double* data() const { return values_.data(); }
    std::size_t size() const { return values_.size(); }

  private:
    std::vector<double> copy_;
    std::span<const double> values_;
};

}  // namespace plix::py
