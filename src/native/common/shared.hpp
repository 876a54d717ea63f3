// State that changes after load, and the threads and callbacks that reach it.
//
// The rules every module here keeps (each use-after-free found so far broke
// one of them):
//
// 1. A module's state is immutable once its exec has run: tables, templates,
//    interned names and types are made there and never written again.
// 2. Whatever changes later (a memo, a value published on first use, an
//    object's cipher contexts, a coroutine's status, a resolver's memo) has
//    one owner and one way in: a lock of its owner (Mutex, CriticalSection;
//    nothing on builds with a GIL), or a single publication by
//    compare-and-swap (publish(): the first store wins, the loser is
//    released, and readers always read the published object).
// 3. No borrowed reference crosses anything that can run Python code (a
//    __str__, an __eq__, an import, an allocation that runs the collector,
//    a callback), nor anything another thread can reach: take a reference of
//    one's own first (dict_get_ref, list_item) and check an object's state
//    again after such a call.
// 4. The collector sees only whole objects: nothing it can reach holds NULL
//    slots or half-made state.
// 5. A walk over a caller's dict with PyDict_Next holds the dict's critical
//    section (CriticalSection) and takes its own references at once.
//
// On a free-threaded build (Py_GIL_DISABLED) the modules run without the GIL,
// so rules 2, 3 and 5 are what keeps two threads apart; with a GIL they keep
// re-entrant Python code (a __del__ run by the collector, a callback) apart.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>

#include "ref.hpp"

#ifdef Py_GIL_DISABLED
#define ZK_FREE_THREADED 1
#else
#define ZK_FREE_THREADED 0
#endif

namespace zk {

// d[key] as a reference of one's own: 1 with `out` set, 0 when absent, -1 on
// error (a key's __eq__ or __hash__ may raise).
inline int dict_get_ref(PyObject* d, PyObject* key, Ref& out) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v = nullptr;
    const int r = PyDict_GetItemRef(d, key, &v);
    out = Ref::steal(v);
    return r;
#else
    PyObject* v = PyDict_GetItemWithError(d, key);
    out = Ref::borrow(v);
    return v ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// list[i] as a reference of one's own, empty (no error) past the end, where
// another thread or a callback may have left it.
inline Ref list_item(PyObject* list, Py_ssize_t i) {
#if ZK_FREE_THREADED
    if (i >= PyList_GET_SIZE(list)) return Ref();
    PyObject* v = PyList_GetItemRef(list, i);
    if (!v) PyErr_Clear();  // the list shrank meanwhile
    return Ref::steal(v);
#else
    return i < PyList_GET_SIZE(list) ? Ref::borrow(PyList_GET_ITEM(list, i)) : Ref();
#endif
}

// The object published in `slot` (NULL while none is), for an owner that
// keeps it for as long as the owner lives.
inline PyObject* published(PyObject* const& slot) noexcept {
    return std::atomic_ref<PyObject*>(const_cast<PyObject*&>(slot)).load(std::memory_order_acquire);
}

// Publishes `made` in `slot` unless another object got there first; returns
// the object published (borrowed from the slot's owner). The loser is
// released.
inline PyObject* publish(PyObject*& slot, Ref made) noexcept {
    PyObject* expected = nullptr;
    if (std::atomic_ref<PyObject*>(slot).compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel,
                                                                 std::memory_order_acquire))
        return made.release();
    return expected;
}

// A lock of an object that threads share, held around a sequence that must
// not interleave with another thread's (no Python code runs inside). Nothing
// on builds with a GIL, where such a sequence already runs alone.
class Mutex {
public:
#if ZK_FREE_THREADED
    void lock() noexcept { PyMutex_Lock(&m_); }
    void unlock() noexcept { PyMutex_Unlock(&m_); }

private:
    PyMutex m_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

class Locked {
public:
    explicit Locked(Mutex& m) noexcept : m_(m) { m_.lock(); }
    ~Locked() { m_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Mutex& m_;
};

// The critical section of an object (a caller's dict or list, one of our
// objects) for as long as it is in scope. Python code may run inside: the
// interpreter suspends the section while the thread waits, so a walk still
// takes references of its own and checks sizes as it goes. Nothing on builds
// with a GIL.
class CriticalSection {
public:
#if ZK_FREE_THREADED
    explicit CriticalSection(PyObject* o) noexcept { PyCriticalSection_Begin(&cs_, o); }
    ~CriticalSection() { PyCriticalSection_End(&cs_); }
#else
    explicit CriticalSection(PyObject*) noexcept {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#if ZK_FREE_THREADED
    PyCriticalSection cs_;
#endif
};

// A small value (a status) that threads race for: a compare-and-swap where
// they can run at once, a plain test and store where the GIL keeps them apart.
template <typename T>
inline bool swap_if(T& v, T expected, T desired) noexcept {
#if ZK_FREE_THREADED
    return std::atomic_ref<T>(v).compare_exchange_strong(expected, desired, std::memory_order_acq_rel);
#else
    if (v != expected) return false;
    v = desired;
    return true;
#endif
}

template <typename T>
inline T load_shared(const T& v) noexcept {
#if ZK_FREE_THREADED
    return std::atomic_ref<T>(const_cast<T&>(v)).load(std::memory_order_acquire);
#else
    return v;
#endif
}

template <typename T>
inline void store_shared(T& v, T value) noexcept {
#if ZK_FREE_THREADED
    std::atomic_ref<T>(v).store(value, std::memory_order_release);
#else
    v = value;
#endif
}

}  // namespace zk
