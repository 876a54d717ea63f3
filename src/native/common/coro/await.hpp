// The bridge from a Task's frame to Python awaitables:
//     Ref result = co_await await_object(std::move(awaitable));
// finds the awaitable's iterator as the interpreter's `await` does, takes its
// first step at once, and suspends the frame (handing what it yields to the
// coroutine object's driver) only when it yields; and
//     Object* co = co_await running();
// gives the coroutine object running the frame, for its Held locals. It owns
// nothing beyond the awaitable between those two steps.
#pragma once

#include "common/coro/object.hpp"

namespace zk::coro {

namespace detail {

// The iterator behind an awaitable, as the interpreter's `await` finds it.
inline PyObject* awaitable_iter(const Module& m, PyObject* o) {
    if (PyCoro_CheckExact(o)) {
        // One that is suspended in an await of its own is someone else's to drive.
        Ref inner = Ref::steal(PyObject_GetAttr(o, m.cr_await));
        if (!inner) return nullptr;
        if (inner.get() != Py_None) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return new_ref(o);
    }
    if (PyGen_CheckExact(o)) {
        // A generator is awaitable only when marked by types.coroutine.
        Ref code = Ref::steal(PyObject_GetAttr(o, m.gi_code));
        if (!code) return nullptr;
        Ref flags = Ref::steal(PyObject_GetAttr(code.get(), m.co_flags));
        if (!flags) return nullptr;
        long f = PyLong_AsLong(flags.get());
        if (f == -1 && PyErr_Occurred()) return nullptr;
        if (f & CO_ITERABLE_COROUTINE) return new_ref(o);
    } else {
        PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
        if (am && am->am_await) {
            PyObject* it = am->am_await(o);
            if (!it) return nullptr;
            if (PyCoro_CheckExact(it)) {
                Py_DECREF(it);
                PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
                return nullptr;
            }
            if (!PyIter_Check(it)) {
                PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                             Py_TYPE(it)->tp_name);
                Py_DECREF(it);
                return nullptr;
            }
            return it;
        }
    }
    PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(o)->tp_name);
    return nullptr;
}

}  // namespace detail

// Awaiting a Python awaitable from a task's frame:
//     Ref result = co_await await_object(std::move(awaitable));
// An empty result means the awaitable failed (or was no awaitable) and its
// error is pending.

class [[nodiscard]] AwaitObject {
public:
    explicit AwaitObject(Ref awaitable) noexcept : awaitable_(std::move(awaitable)) {}

    bool await_ready() noexcept { return !awaitable_; }  // empty: its error is already pending

    // Takes the first step at once; suspends only if the iterator yields.
    bool await_suspend(Task::Handle h) noexcept {
        Ref it = Ref::steal(detail::awaitable_iter(*h.promise().driver->module, awaitable_.get()));
        awaitable_.reset();
        if (!it) return false;
        PyObject* value = nullptr;
        PySendResult r = PyIter_Send(it.get(), Py_None, &value);
        if (r == PYGEN_RETURN) {
            result_ = Ref::steal(value);
            return false;
        }
        if (r == PYGEN_ERROR) return false;
        Object* d = h.promise().driver;
        d->awaited = it.release();
        d->yielded = value;
        d->leaf = h;
        driver_ = d;
        return true;
    }

    Ref await_resume() noexcept {
        if (driver_) return Ref::steal(std::exchange(driver_->resume_value, nullptr));
        return std::move(result_);
    }

private:
    Ref awaitable_;
    Ref result_;
    Object* driver_ = nullptr;
};

inline AwaitObject await_object(Ref awaitable) noexcept { return AwaitObject(std::move(awaitable)); }

// The coroutine object running the current frame, for its Held locals:
//     Object* co = co_await running();
// It never suspends.
struct Running {
    Object* o = nullptr;
    bool await_ready() noexcept { return false; }
    bool await_suspend(Task::Handle h) noexcept {
        o = h.promise().driver;
        return false;
    }
    Object* await_resume() noexcept { return o; }
};

inline Running running() noexcept { return {}; }
}  // namespace zk::coro
