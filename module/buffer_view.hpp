// BufferView: a typed, writable, C-contiguous view of an object's buffer, held for the
// length of a call and released exactly once.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

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
    double* doubles() const { return empty() ? nullptr : static_cast<double*>(buffer_->buf); }
    std::int32_t* ints() const {
        return empty() ? nullptr : static_cast<std::int32_t*>(buffer_->buf);
    }

  private:
    // Releases the exported buffer (and with it the reference to the exporter).
    struct Release {
        void operator()(Py_buffer* view) const noexcept;
    };
    std::unique_ptr<Py_buffer, Release> buffer_;
};

}  // namespace plix::py
