// The C++ side of the coroutine layer: `Task`, a lazily started C++20
// coroutine whose result is a Ref (empty: the interpreter's error indicator
// is set), and how tasks await one another.
//
// A module writes its asynchronous operations as functions returning Task.
// Tasks await each other with `co_await` (symmetric transfer, so no stack
// grows however deep they nest); the first of a chain is run by a Python
// coroutine object (object.hpp), which every task of the chain knows as its
// driver, and Python awaitables are awaited through await.hpp. Frames live in
// the interpreter's allocator, so the leak checks see them. This header owns
// no Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <coroutine>
#include <cstddef>
#include <exception>
#include <new>
#include <utility>

#include "common/ref.hpp"

namespace zk::coro {

struct Object;

class [[nodiscard]] Task {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    struct promise_type {
        Object* driver = nullptr;            // the coroutine object running this chain
        std::coroutine_handle<> continuation;  // the awaiting frame; empty for the root
        Ref result;                          // empty: the error indicator is set

        // Frames live in the interpreter's allocator, so leak checks count them.
        static void* operator new(std::size_t n) noexcept { return PyMem_Malloc(n); }
        static void operator delete(void* p) noexcept { PyMem_Free(p); }
        static Task get_return_object_on_allocation_failure() noexcept { return Task(); }

        Task get_return_object() noexcept { return Task(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }

        struct FinalAwaiter {
            bool await_ready() noexcept { return false; }
            std::coroutine_handle<> await_suspend(Handle h) noexcept {
                std::coroutine_handle<> next = h.promise().continuation;
                return next ? next : std::noop_coroutine();
            }
            void await_resume() noexcept {}
        };
        FinalAwaiter final_suspend() noexcept { return {}; }

        void return_value(Ref r) noexcept { result = std::move(r); }
        void unhandled_exception() noexcept {
            result = Ref();
            try {
                throw;
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
            } catch (...) {
                PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a coroutine");
            }
        }
    };

    Task() noexcept = default;
    Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            if (h_) h_.destroy();
            h_ = std::exchange(other.h_, {});
        }
        return *this;
    }
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;
    ~Task() {
        if (h_) h_.destroy();
    }

    explicit operator bool() const noexcept { return static_cast<bool>(h_); }
    Handle release() noexcept { return std::exchange(h_, {}); }

    // Awaiting a task from another task's frame runs it at once (symmetric
    // transfer) and gives its result; the awaiting frame is resumed when it ends.
    struct Awaiter {
        Handle h;
        bool await_ready() noexcept {
            if (h) return false;
            PyErr_NoMemory();  // its frame could not be allocated
            return true;
        }
        std::coroutine_handle<> await_suspend(Handle parent) noexcept {
            h.promise().driver = parent.promise().driver;
            h.promise().continuation = parent;
            return h;
        }
        Ref await_resume() noexcept { return h ? std::move(h.promise().result) : Ref(); }
    };
    Awaiter operator co_await() && noexcept { return Awaiter{h_}; }

private:
    explicit Task(Handle h) noexcept : h_(h) {}
    Handle h_;
};

}  // namespace zk::coro
