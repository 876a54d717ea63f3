// The wall between C++ and the interpreter, and the pending-error helpers.
//
// Only NULL / -1 with an exception set cross the C ABI. Inside, the standard
// library may still throw (std::bad_alloc from a std::string that outgrows the
// memory): every entry point the interpreter calls (module functions, methods,
// type slots) is wrapped by ZK_ENTRY, which turns std::bad_alloc into
// MemoryError and any other C++ exception into SystemError, so that no path
// to std::terminate is left.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

#include "ref.hpp"

namespace zk {

// The pending error as one normalised exception object (its traceback
// attached), taken off the indicator; empty when none is pending.
inline Ref take_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return Ref();
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

// Raises an exception object taken by take_error (nothing when empty).
inline void restore_error(Ref error) noexcept {
    if (!error) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* value = error.release();
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
    Py_INCREF(type);
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

// Sets the interpreter's error for the C++ exception being handled.
inline void set_error_from_cxx() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

namespace detail {

// What an entry point returns on failure, by its return type.
template <typename R>
R failure() noexcept {
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else if constexpr (std::is_same_v<R, bool>)
        return false;
    else if constexpr (std::is_same_v<R, PySendResult>)
        return PYGEN_ERROR;
    else
        return R(-1);
}

template <auto F>
struct Entry;

template <typename R, typename... A, R (*F)(A...)>
struct Entry<F> {
    static R call(A... a) noexcept {
        try {
            return F(a...);
        } catch (...) {
            set_error_from_cxx();
            if constexpr (std::is_void_v<R>) {
                // A slot without an error return (dealloc, finalize).
                PyErr_WriteUnraisable(nullptr);
            } else {
                return failure<R>();
            }
        }
    }
};

}  // namespace detail

}  // namespace zk

// The guarded form of function `f`, with the same signature, for method
// tables and type slots.
#define ZK_ENTRY(f) (&::zk::detail::Entry<f>::call)

// A type slot and a method-table entry of a guarded function.
#define ZK_SLOT(slot, f) {slot, reinterpret_cast<void*>(ZK_ENTRY(f))}
#define ZK_CFUNC(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ZK_ENTRY(f)))
