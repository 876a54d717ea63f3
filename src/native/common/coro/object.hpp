// The Python side of the coroutine layer: the coroutine object that runs a
// Task and its state machine (send, throw, close, finalisation, the
// collector's view), and what a module keeps of it in its state.
//
// `wrap` puts a task into an object of the type that a module's `Module`
// makes at load: a final heap type with am_await (returning itself),
// am_send, __next__, send, throw and close, so `await`, asyncio's Task,
// `asyncio.iscoroutine` and a bare `send(None)` all drive it. Nothing runs
// before the first send, no thread is started and nothing polls.
//
// How a step runs: the object resumes the innermost suspended frame; frames
// run synchronously until one awaits a Python awaitable (await.hpp). If that
// awaitable yields (an asyncio future, say), the frame suspends and the
// yielded object is handed straight out to whoever drives the coroutine.
// Later sends and throws go to that awaitable's iterator; when it returns or
// fails, the frame resumes with the value or with the error pending, all
// within the same call.
//
// Everything a frame holds across a suspension is shown to the collector
// through the object, so reference cycles through a suspended frame are
// collected as they are through an `async def` frame: the method's self and
// arguments are the object's roots (owned by it, borrowed by the frames), and
// a frame keeps its other objects in `Held` locals, which link themselves
// into the object. The objects behave as the interpreter's own coroutines: a
// StopIteration escaping a frame becomes RuntimeError, one never started
// warns when it goes away, one suspended in an await refuses a second
// awaiter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstring>
#include <initializer_list>

#include "common/coro/task.hpp"
#include "common/errors.hpp"
#include "common/module.hpp"
#include "common/shared.hpp"

namespace zk::coro {

constexpr int kMaxRoots = 6;

enum class Status : unsigned char { Fresh, Suspended, Running, Done };

// What a module keeps of the coroutine layer in its own state: the type and
// the attribute names the await protocol looks up, made once at module load
// (interned, as the interpreter keeps the names of its own code). Nothing of
// it is process-wide, so every interpreter has its own.
struct Module {
    PyTypeObject* type = nullptr;
    PyObject* cr_await = nullptr;
    PyObject* gi_code = nullptr;
    PyObject* co_flags = nullptr;
    PyObject* close = nullptr;
    PyObject* throw_ = nullptr;

    // Makes the type for `module` and the names; false with an error set.
    // `spec_name` (a static text such as "pkg.mod.zentrik_coroutine") names the type.
    bool init(PyObject* module, const char* spec_name);

    // Calls f(PyObject*&) on each object held, for the module's traverse and clear.
    template <typename F>
    void each(F&& f) {
        f(type);
        for (PyObject** p : {&cr_await, &gi_code, &co_flags, &close, &throw_}) f(*p);
    }
};

// The links of the frame locals a coroutine object shows to the collector.
struct Link {
    Link* prev;
    Link* next;
};

struct Object {
    PyObject_HEAD
    Task::Handle frame;             // the root frame; empty once finished
    std::coroutine_handle<> leaf;   // the frame suspended on `awaited`
    PyObject* awaited;              // iterator of the Python awaitable in progress
    PyObject* yielded;              // what `awaited` just yielded, on its way out
    PyObject* resume_value;         // the result handed to `leaf` (NULL: error pending)
    PyObject* roots[kMaxRoots];     // owned; borrowed by the frames
    Link held;                      // the frames' Held locals (a ring; this is its head)
    PyObject* weakrefs;
    const Module* module;           // the state of the module that made it
    const char* qualname;           // static text
    Status status;
};

// A frame local that owns a reference and shows it to the collector through
// the coroutine object running the frame, for objects a frame keeps across
// a suspension:
//     Object* co = co_await coro::running();
//     Held market(co);
//     market = Ref::steal(...);          // or *market where a Ref& is wanted
// It links itself into the coroutine object on construction and unlinks
// (then lets go of its reference) when the frame ends or is destroyed.
class Held : Link {
public:
    explicit Held(Object* co) noexcept {
        prev = &co->held;
        next = co->held.next;
        next->prev = this;
        co->held.next = this;
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    ~Held() {
        prev->next = next;
        next->prev = prev;
    }
    Held& operator=(Ref r) noexcept {
        ref_ = std::move(r);
        return *this;
    }
    Ref& operator*() noexcept { return ref_; }
    PyObject* get() const noexcept { return ref_.get(); }
    explicit operator bool() const noexcept { return static_cast<bool>(ref_); }

    static PyObject* of(Link* l) noexcept { return static_cast<Held*>(l)->ref_.get(); }

private:
    Ref ref_;
};

namespace detail {

// Closes an awaited iterator as `yield from` does: its close() if it has one.
// Returns -1 with the error of close() set.
inline int close_iter(const Module& m, PyObject* it) {
    PyObject* meth = PyObject_GetAttr(it, m.close);
    if (!meth) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_WriteUnraisable(it);
        PyErr_Clear();
        return 0;
    }
    PyObject* r = PyObject_CallNoArgs(meth);
    Py_DECREF(meth);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

inline void destroy_frame(Object* o) {
    if (o->frame) {
        Task::Handle h = std::exchange(o->frame, {});
        h.destroy();
    }
    o->leaf = {};
}

// A StopIteration escaping a frame would read as a return to whoever drives
// the coroutine (asyncio's Task refuses it, and an awaiting coroutine would
// take None for the result). As for `async def` coroutines, it becomes
// RuntimeError, with the original as its cause.
inline void stop_iteration_escaped() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
    Ref cause = take_error();
    PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
    Ref error = take_error();
    PyException_SetCause(error.get(), new_ref(cause.get()));
    PyException_SetContext(error.get(), cause.release());
    restore_error(std::move(error));
}

// After the frame ran: either the root finished, or a frame is suspended on
// an iterator that yielded.
inline PySendResult settle(Object* o, PyObject** out) {
    if (o->frame.done()) {
        Ref result = std::move(o->frame.promise().result);
        store_shared(o->status, Status::Done);
        destroy_frame(o);
        if (!result) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "coroutine frame ended without a result or an error");
            else
                stop_iteration_escaped();
            return PYGEN_ERROR;
        }
        *out = result.release();
        return PYGEN_RETURN;
    }
    if (!o->yielded || !o->awaited) {
        store_shared(o->status, Status::Done);
        destroy_frame(o);
        PyErr_SetString(PyExc_SystemError, "coroutine frame suspended without awaiting anything");
        return PYGEN_ERROR;
    }
    *out = std::exchange(o->yielded, nullptr);
    store_shared(o->status, Status::Suspended);
    return PYGEN_NEXT;
}

// Resumes the suspended frame with `value` (a new reference; NULL means the
// pending error is raised at its await).
inline PySendResult resume(Object* o, PyObject* value, PyObject** out) {
    o->resume_value = value;
    std::coroutine_handle<> h = std::exchange(o->leaf, {});
    h.resume();
    Py_CLEAR(o->resume_value);  // not taken only if the frame was destroyed meanwhile
    return settle(o, out);
}

// The awaited iterator finished: hand its result (or error) to the frame.
inline PySendResult finish_awaited(Object* o, PySendResult r, PyObject* value, PyObject** out) {
    PyObject* it = std::exchange(o->awaited, nullptr);
    PySendResult step = resume(o, r == PYGEN_RETURN ? value : nullptr, out);
    Py_DECREF(it);
    return step;
}

// Takes the coroutine for one step, from Fresh or Suspended to Running in
// one compare-and-swap, as the interpreter's own generators are taken: of two
// threads driving it at once, one runs the step and the other is refused.
// Returns the status it was taken from; Running or Done when it was not
// taken (the caller raises).
inline Status take(Object* o) {
    for (;;) {
        const Status s = load_shared(o->status);
        if (s == Status::Running || s == Status::Done) return s;
        if (swap_if(o->status, s, Status::Running)) return s;
    }
}

// The errors of a coroutine that could not be taken.
inline void not_taken(Status s) {
    if (s == Status::Running)
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
    else
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
}

inline PySendResult send(Object* o, PyObject* arg, PyObject** out) {
    *out = nullptr;
    if (arg != Py_None && load_shared(o->status) == Status::Fresh) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return PYGEN_ERROR;
    }
    const Status from = take(o);
    switch (from) {
    case Status::Running:
    case Status::Done:
        not_taken(from);
        return PYGEN_ERROR;
    case Status::Fresh:
        if (arg != Py_None) {  // started meanwhile and suspended again: the check above did not see it
            store_shared(o->status, Status::Fresh);
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        o->frame.resume();
        return settle(o, out);
    case Status::Suspended:
        break;
    }
    PyObject* value = nullptr;
    PySendResult r = PyIter_Send(o->awaited, arg, &value);
    if (r == PYGEN_NEXT) {
        *out = value;
        store_shared(o->status, Status::Suspended);
        return PYGEN_NEXT;
    }
    return finish_awaited(o, r, value, out);
}

// StopIteration carrying `value` (wrapped, so a tuple or an exception value
// arrives as itself).
inline void set_stop_iteration(PyObject* value) {
    if (value == Py_None) {
        PyErr_SetNone(PyExc_StopIteration);
        return;
    }
    PyObject* exc = PyObject_CallOneArg(PyExc_StopIteration, value);
    if (!exc) return;
    PyErr_SetObject(PyExc_StopIteration, exc);
    Py_DECREF(exc);
}

inline PyObject* step_result(PySendResult r, PyObject* value) {
    if (r == PYGEN_NEXT) return value;
    if (r == PYGEN_RETURN) {
        set_stop_iteration(value);
        Py_DECREF(value);
    }
    return nullptr;
}

// The value a StopIteration carries (the pending one is consumed).
inline PyObject* fetch_stop_value() {
    Ref stop = take_error();
    PyObject* value = nullptr;
    if (stop && PyObject_TypeCheck(stop.get(), reinterpret_cast<PyTypeObject*>(PyExc_StopIteration)))
        value = reinterpret_cast<PyStopIterationObject*>(stop.get())->value;
    return new_ref(value ? value : Py_None);
}

// throw() with a normalised exception (references stolen).
inline PySendResult throw_into(Object* o, PyObject* typ, PyObject* val, PyObject* tb, PyObject** out) {
    *out = nullptr;
    const Status from = take(o);
    switch (from) {
    case Status::Running:
    case Status::Done:
        Py_XDECREF(typ), Py_XDECREF(val), Py_XDECREF(tb);
        not_taken(from);
        return PYGEN_ERROR;
    case Status::Fresh:
        // Raised where the body would start: the coroutine ends with it (and
        // before 3.12 the interpreter treats it as escaping the frame).
        destroy_frame(o);
        store_shared(o->status, Status::Done);
        PyErr_Restore(typ, val, tb);
#if PY_VERSION_HEX < 0x030C0000
        stop_iteration_escaped();
#endif
        return PYGEN_ERROR;
    case Status::Suspended:
        break;
    }
    if (PyErr_GivenExceptionMatches(typ, PyExc_GeneratorExit)) {
        // Close what is awaited, then raise GeneratorExit (or the error of
        // that close) in the frame.
        Ref it = Ref::steal(std::exchange(o->awaited, nullptr));
        if (close_iter(*o->module, it.get()) < 0) {
            Py_XDECREF(typ), Py_XDECREF(val), Py_XDECREF(tb);
        } else {
            PyErr_Restore(typ, val, tb);
        }
        return resume(o, nullptr, out);
    }
    PyObject* meth = PyObject_GetAttr(o->awaited, o->module->throw_);
    if (!meth) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            Py_XDECREF(typ), Py_XDECREF(val), Py_XDECREF(tb);
            store_shared(o->status, Status::Suspended);
            return PYGEN_ERROR;
        }
        // An iterator without throw(): the exception is raised at the await.
        PyErr_Clear();
        Ref it = Ref::steal(std::exchange(o->awaited, nullptr));
        PyErr_Restore(typ, val, tb);
        return resume(o, nullptr, out);
    }
    if (tb) PyException_SetTraceback(val, tb);
    PyObject* res = PyObject_CallOneArg(meth, val);  // the form every throw() accepts
    Py_DECREF(meth);
    Py_XDECREF(typ), Py_XDECREF(val), Py_XDECREF(tb);
    if (res) {
        *out = res;
        store_shared(o->status, Status::Suspended);
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject* value = fetch_stop_value();
        return finish_awaited(o, PYGEN_RETURN, value, out);
    }
    return finish_awaited(o, PYGEN_ERROR, nullptr, out);
}

inline PyObject* close(Object* o) {
    const Status from = take(o);
    switch (from) {
    case Status::Running:
        not_taken(from);
        return nullptr;
    case Status::Done:
        Py_RETURN_NONE;
    case Status::Fresh:
        destroy_frame(o);
        store_shared(o->status, Status::Done);
        Py_RETURN_NONE;
    case Status::Suspended:
        break;
    }
    {
        Ref it = Ref::steal(std::exchange(o->awaited, nullptr));
        if (close_iter(*o->module, it.get()) == 0) PyErr_SetNone(PyExc_GeneratorExit);
    }
    PyObject* value = nullptr;
    PySendResult r = resume(o, nullptr, &value);
    if (r == PYGEN_NEXT) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(value);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Slots and methods.

inline Object* self_of(PyObject* p) { return reinterpret_cast<Object*>(p); }

inline PySendResult am_send(PyObject* self, PyObject* arg, PyObject** out) { return send(self_of(self), arg, out); }

// `await` asks for the iterator first: a coroutine that is suspended in an
// await is already being driven by someone else.
inline PyObject* am_await(PyObject* self) {
    if (load_shared(self_of(self)->status) == Status::Suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return new_ref(self);
}

inline PyObject* iternext(PyObject* self) {
    PyObject* value = nullptr;
    PySendResult r = send(self_of(self), Py_None, &value);
    if (r == PYGEN_RETURN && value == Py_None) {
        Py_DECREF(value);
        return nullptr;  // StopIteration without a value
    }
    return step_result(r, value);
}

inline PyObject* meth_send(PyObject* self, PyObject* arg) {
    PyObject* value = nullptr;
    PySendResult r = send(self_of(self), arg, &value);
    return step_result(r, value);
}

// throw(value) or the legacy throw(type[, value[, traceback]]), checked and
// normalised as generators do.
inline PyObject* meth_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    // The legacy form is what the interpreter itself uses when it forwards a
    // throw() from a coroutine awaiting this one, so it must stay quiet.
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : nullptr;
    PyObject* tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
        if (!val || !PyExceptionInstance_Check(val)) {
            // The constructor failed: its error replaces the thrown one.
            Py_XDECREF(typ), Py_XDECREF(val), Py_XDECREF(tb);
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "calling the exception type failed");
            return nullptr;
        }
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            Py_DECREF(typ), Py_DECREF(val), Py_XDECREF(tb);
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        Py_XDECREF(val);
        val = typ;
        typ = new_ref(reinterpret_cast<PyObject*>(PyExceptionInstance_Class(typ)));
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        Py_DECREF(typ), Py_XDECREF(val), Py_XDECREF(tb);
        return nullptr;
    }
    PyObject* value = nullptr;
    PySendResult r = throw_into(self_of(self), typ, val, tb, &value);
    return step_result(r, value);
}

inline PyObject* meth_close(PyObject* self, PyObject*) { return close(self_of(self)); }

inline PyObject* get_running(PyObject* self, void*) {
    return PyBool_FromLong(load_shared(self_of(self)->status) == Status::Running);
}
// What a suspended coroutine awaits. It is read with the coroutine taken for
// the moment, so that no step of another thread's replaces it meanwhile; one
// that runs (or ran to its end) awaits nothing that can be shown.
inline PyObject* get_await(PyObject* self, void*) {
    Object* o = self_of(self);
    if (!swap_if(o->status, Status::Suspended, Status::Running)) Py_RETURN_NONE;
    PyObject* it = Py_XNewRef(o->awaited);
    store_shared(o->status, Status::Suspended);
    return it ? it : new_ref(Py_None);
}
inline PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
inline PyObject* get_qualname(PyObject* self, void*) { return PyUnicode_FromString(self_of(self)->qualname); }
inline PyObject* get_name(PyObject* self, void*) {
    const char* q = self_of(self)->qualname;
    const char* dot = std::strrchr(q, '.');
    return PyUnicode_FromString(dot ? dot + 1 : q);
}

inline PyObject* repr(PyObject* self) {
    return PyUnicode_FromFormat("<zentrik_coroutine object %s at %p>", self_of(self)->qualname, self);
}

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    Object* o = self_of(self);
    for (PyObject* r : o->roots) Py_VISIT(r);
    Py_VISIT(o->awaited);
    Py_VISIT(o->yielded);
    Py_VISIT(o->resume_value);
    for (Link* l = o->held.next; l != &o->held; l = l->next) Py_VISIT(Held::of(l));
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int clear(PyObject* self) {
    Object* o = self_of(self);
    if (o->status == Status::Running) return 0;  // the frame is on the C stack
    o->status = Status::Done;
    destroy_frame(o);  // its Held locals go with it, before the roots its frames borrow
    Py_CLEAR(o->awaited);
    Py_CLEAR(o->yielded);
    Py_CLEAR(o->resume_value);
    for (PyObject*& r : o->roots) Py_CLEAR(r);
    return 0;
}

// A coroutine that goes away unstarted warns, as the interpreter's own do (a
// forgotten await is a bug of the caller); one that goes away suspended is
// closed: what it awaits is closed and its frames are released.
inline void finalize(PyObject* self) {
    Object* o = self_of(self);
    if (o->status != Status::Fresh && o->status != Status::Suspended) return;
    Ref pending = take_error();
    if (o->status == Status::Fresh) {
        o->status = Status::Done;
        destroy_frame(o);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited", o->qualname) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject* r = close(o);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    }
    restore_error(std::move(pending));
}

inline void dealloc(PyObject* self) {
    Object* o = self_of(self);
    PyObject_GC_UnTrack(self);
    if (o->weakrefs) PyObject_ClearWeakRefs(self);
    if (o->status != Status::Done) {
        // The finalizer may run code (and resurrect the object): tracked meanwhile.
        PyObject_GC_Track(self);
        if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
        PyObject_GC_UnTrack(self);
    }
    o->status = Status::Done;
    clear(self);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace detail

inline bool Module::init(PyObject* module, const char* spec_name) {
    using namespace detail;
    static PyMethodDef methods[] = {
        {"send", ZK_CFUNC(meth_send), METH_O,
         "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
        {"throw", ZK_CFUNC(meth_throw), METH_FASTCALL,
         "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated "
         "value or raise\nStopIteration."},
        {"close", ZK_ENTRY(meth_close), METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyGetSetDef getset[] = {
        {"cr_running", ZK_ENTRY(get_running), nullptr, nullptr, nullptr},
        {"cr_await", ZK_ENTRY(get_await), nullptr, "object being awaited on, or None", nullptr},
        {"cr_frame", ZK_ENTRY(get_none), nullptr, "always None: the frame is native", nullptr},
        {"__name__", ZK_ENTRY(get_name), nullptr, nullptr, nullptr},
        {"__qualname__", ZK_ENTRY(get_qualname), nullptr, nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMemberDef members[] = {
        {"__weaklistoffset__", T_PYSSIZET, offsetof(Object, weakrefs), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        ZK_SLOT(Py_tp_dealloc, dealloc),
        ZK_SLOT(Py_tp_traverse, traverse),
        ZK_SLOT(Py_tp_clear, clear),
        ZK_SLOT(Py_tp_finalize, finalize),
        ZK_SLOT(Py_tp_repr, repr),
        ZK_SLOT(Py_tp_iternext, iternext),
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {Py_tp_members, members},
        ZK_SLOT(Py_am_await, am_await),
        ZK_SLOT(Py_am_send, am_send),
        {0, nullptr},
    };
    // The type keeps pointing at the method, getset and member tables (and, on
    // 3.10, at the name), hence static tables and a static name.
    PyType_Spec spec = {
        spec_name,
        sizeof(Object),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    type = type_from_spec(module, spec);
    if (!type) return false;
    struct {
        PyObject*& slot;
        const char* text;
    } names[] = {
        {cr_await, "cr_await"}, {gi_code, "gi_code"}, {co_flags, "co_flags"}, {close, "close"}, {throw_, "throw"},
    };
    for (auto& n : names)
        if (!(n.slot = PyUnicode_InternFromString(n.text))) return false;
    return true;
}

// A coroutine object of module `m` that runs `task` when driven; `qualname` is
// a static text ("Resolver.resolve"); `roots` (at most kMaxRoots) are kept
// alive for the task's frames, which borrow them. Returns NULL with an error
// set (the task is then discarded unstarted).
inline PyObject* wrap(const Module& m, const char* qualname, Task task, std::initializer_list<PyObject*> roots) {
    if (!task) return PyErr_NoMemory();
    if (roots.size() > static_cast<size_t>(kMaxRoots)) {
        PyErr_SetString(PyExc_SystemError, "too many coroutine roots");
        return nullptr;
    }
    Object* o = PyObject_GC_New(Object, m.type);
    if (!o) return nullptr;
    new (&o->frame) Task::Handle(task.release());
    new (&o->leaf) std::coroutine_handle<>();
    o->awaited = o->yielded = o->resume_value = nullptr;
    o->held.prev = o->held.next = &o->held;
    o->weakrefs = nullptr;
    o->module = &m;
    o->qualname = qualname;
    o->status = Status::Fresh;
    int i = 0;
    for (PyObject* r : roots) o->roots[i++] = Py_XNewRef(r);
    for (; i < kMaxRoots; ++i) o->roots[i] = nullptr;
    o->frame.promise().driver = o;
    PyObject_GC_Track(o);
    return reinterpret_cast<PyObject*>(o);
}

}  // namespace zk::coro
