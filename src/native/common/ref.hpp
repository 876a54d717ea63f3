// Owning and borrowed handles for CPython objects.
//
// Business code never juggles raw reference counts: a Ref owns exactly one
// reference and releases it when it goes out of scope. Only NULL (with an
// exception set) or a released new reference cross the C ABI.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace zk {

class Ref {
public:
    Ref() noexcept = default;
    // No object: the result of a failed call (its exception is set).
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (which may be NULL after a failed call).
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    // Adds a reference of its own to a borrowed pointer (which may be NULL).
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset(PyObject* stolen = nullptr) noexcept {
        PyObject* old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// A borrowed reference: names an object that something else keeps alive (an
// entry of a map being read, a table of the module's state) for as long as
// the view is in use. It owns nothing; ref() makes a reference of one's own.
class Borrowed {
public:
    Borrowed() noexcept = default;
    explicit Borrowed(PyObject* p) noexcept : p_(p) {}
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    Ref ref() const noexcept { return Ref::borrow(p_); }

private:
    PyObject* p_ = nullptr;
};

// The tp_dealloc of a collected heap type's object: untracked, its weak
// references (`weakrefs`, the object's list of them) cleared, what it holds
// released by `clear` (its tp_clear), its memory freed and its reference to
// its type dropped.
inline void gc_dealloc(PyObject* self, PyObject* weakrefs, int (*clear)(PyObject*)) {
    PyObject_GC_UnTrack(self);
    if (weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A new reference to a borrowed pointer, for returning it to Python.
inline PyObject* new_ref(PyObject* p) noexcept {
    Py_INCREF(p);
    return p;
}

}  // namespace zk
