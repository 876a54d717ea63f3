// The depth of calls that nest through Python code.
//
// A builder may call back into Python (a __str__ of an option value) and that
// code may call a builder again. The interpreter's recursion limit counts
// such levels, but before 3.14 it knows nothing of the C stack itself: a
// thread with a small stack (threading.stack_size(1 << 20)) or a raised limit
// would overflow it and crash. So the room left on this thread's stack is
// checked too, as the interpreter itself does from 3.14 on, and too little of
// it ends in RecursionError like the recursion limit does.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>

#include <cstdint>

namespace zk {

namespace detail {

// Room kept free below the deepest level allowed: what the interpreter's
// code between two checks (a __str__ and the calls around it) and the
// unwinding of a RecursionError may take, with a wide margin.
constexpr uintptr_t kStackReserve = 128 * 1024;

// The lowest address this thread may nest down to; 0 where unknown.
inline uintptr_t stack_floor() {
    thread_local uintptr_t floor = 1;  // 1: not read yet
    if (floor == 1) {
        floor = 0;
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            void* base = nullptr;
            size_t size = 0;
            if (pthread_attr_getstack(&attr, &base, &size) == 0 && size > 2 * kStackReserve)
                floor = reinterpret_cast<uintptr_t>(base) + kStackReserve;
            pthread_attr_destroy(&attr);
        }
    }
    return floor;
}

}  // namespace detail

// Py_EnterRecursiveCall with the C stack checked as well: false with
// RecursionError set. On success the caller must call Py_LeaveRecursiveCall.
inline bool enter_recursive_call(const char* where) {
    char here;
    if (reinterpret_cast<uintptr_t>(&here) < detail::stack_floor()) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    return Py_EnterRecursiveCall(where) == 0;
}

}  // namespace zk
