// Ownership helpers for the CPython C API.
//
// Every error path in the modules returns early; these holders make the
// clean-up happen by construction instead of by goto chains.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quenda::capi {

// An owning reference: copies incref, moves steal, the destructor decrefs.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference (the usual result of an API call); null is allowed.
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for return values and stealing APIs).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    PyObject* p_ = nullptr;
};

// A move-only holder of one acquired buffer; releases it when it goes out of scope.
class Buffer {
public:
    Buffer() noexcept { view_.obj = nullptr; }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept : view_(o.view_) { o.view_.obj = nullptr; }
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) { release(); view_ = o.view_; o.view_.obj = nullptr; }
        return *this;
    }
    ~Buffer() { release(); }

    // Acquires a buffer of obj with the given flags; false with the exporter's error set.
    bool acquire(PyObject* obj, int flags) noexcept {
        release();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0) { view_.obj = nullptr; return false; }
        return true;
    }
    void release() noexcept { if (view_.obj) PyBuffer_Release(&view_); }

    bool held() const noexcept { return view_.obj != nullptr; }
    const Py_buffer& view() const noexcept { return view_; }
    void* data() const noexcept { return view_.buf; }
    // Number of items of a one-dimensional buffer.
    Py_ssize_t length() const noexcept { return view_.itemsize ? view_.len / view_.itemsize : 0; }

private:
    Py_buffer view_;
};

}  // namespace quenda::capi
