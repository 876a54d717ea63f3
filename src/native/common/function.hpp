// The modules' own function type.
//
// Module functions and the annotated methods are objects of this type rather
// than builtin functions: builtins cannot carry annotations. A function
// calls its implementation through vectorcall (the C++ wall of errors.hpp
// around it), and reads as a Python function does: __name__, __qualname__,
// __module__, __doc__, __text_signature__, __annotations__ (the texts, as
// strings), __signature__ (for inspect and help()), __globals__ (a namespace
// in which typing.get_type_hints resolves the annotation texts), binding
// through __get__, pickling by reference, equality and hash by identity.
//
// A function is described by a static FunctionDef. Its documentation is
// written as for builtins, "name($module, /, a, *, b=False)\n--\n\n<doc>":
// the part before the marker is the text signature, the rest __doc__.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>

#include "args.hpp"
#include "errors.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "shared.hpp"

namespace zk {

// What a function runs: `self` is the module's state for a module function,
// the instance (a PyObject*) for a method. It is the guarded form of the
// implementation (ZK_ENTRY), so that no C++ exception leaves it.
using FunctionImpl = PyObject* (*)(void* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct FunctionDef {
    const char* name;
    FunctionImpl impl;
    const char* doc;
    // Parameter names and their annotation texts, then "return" and the
    // result's: {"input_data", "dict[str, Any]", "return", "dict[str, Any]"}.
    std::initializer_list<const char*> annotations;
    // A method that returns a coroutine object, read by inspect, asyncio and
    // unittest.mock as an `async def` is (see twin()).
    bool coroutine = false;
};

// A name that annotations of a module's functions use, and where it is found
// (a module to import; nullptr: the module itself).
struct HintName {
    const char* name;
    const char* from;
};

// What a module keeps of the function type in its state.
struct Functions {
    PyTypeObject* type = nullptr;
    PyObject* hints = nullptr;  // the namespace of __globals__, published on first use
    PyObject* coroutine_mark = nullptr;  // inspect's mark of coroutine functions (3.12+), published on first use
    const HintName* hint_names = nullptr;  // static
    size_t n_hint_names = 0;

    // Makes the type; `spec_name` is a static text ("pkg.mod.zentrik_function")
    // and `names` a static table.
    template <size_t N>
    bool init(PyObject* module, const char* spec_name, const HintName (&names)[N]) {
        hint_names = names;
        n_hint_names = N;
        return make_type(module, spec_name);
    }
    bool make_type(PyObject* module, const char* spec_name);

    // Makes the functions of `defs` and adds them to `module` by name.
    bool add_to_module(PyObject* module, const FunctionDef* defs, size_t n);

    // Puts the methods of `defs` into the dict of `owner`, a type of this
    // module that is not exposed yet.
    bool add_to_type(PyTypeObject* owner, const FunctionDef* defs, size_t n);

    template <typename F>
    void each(F&& f) {
        f(type);
        f(hints);
        f(coroutine_mark);
    }
};

namespace function_detail {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    Functions* functions;   // in the module's state
    PyObject* module;       // module functions: the module
    void* state;            // and its state, handed to the implementation
    PyTypeObject* owner;    // methods: the class whose instances they take
    PyObject* annotations;  // published on first use
    PyObject* signature;    // published on first use
    PyObject* twin;         // coroutine methods: an `async def` of the same signature, published on first use
    PyObject* weakrefs;
};

inline Function* of(PyObject* o) { return reinterpret_cast<Function*>(o); }

// The text signature: "($module, /, a)" of "name($module, /, a)\n--\n\n...".
inline bool text_signature(const char* doc, const char*& begin, const char*& end) {
    const char* marker = std::strstr(doc, ")\n--\n\n");
    const char* open = std::strchr(doc, '(');
    if (!marker || !open || open > marker) return false;
    begin = open;
    end = marker + 1;
    return true;
}

inline const char* doc_text(const char* doc) {
    const char* begin;
    const char* end;
    return text_signature(doc, begin, end) ? end + 5 : doc;
}

inline PyObject* cleared(PyObject* self) {
    PyErr_Format(PyExc_RuntimeError, "function %s has been cleared", of(self)->def->name);
    return nullptr;
}

inline PyObject* call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = of(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (f->state) return f->def->impl(f->state, args, nargs, kwnames);
    if (!f->owner) return cleared(callable);
    // A method called through its class: the instance comes first.
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "unbound method %U.%s() needs an argument",
                     reinterpret_cast<PyHeapTypeObject*>(f->owner)->ht_qualname, f->def->name);
        return nullptr;
    }
    if (!PyObject_TypeCheck(args[0], f->owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%U' objects doesn't apply to a '%s' object",
                     f->def->name, reinterpret_cast<PyHeapTypeObject*>(f->owner)->ht_qualname,
                     Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    return f->def->impl(args[0], args + 1, nargs - 1, kwnames);
}

// Bound as a Python function is: to an instance, a method object; through
// its class, itself.
inline PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return new_ref(self);
    return PyMethod_New(self, obj);
}

inline PyObject* get_self(PyObject* self, void*) { return new_ref(self); }

inline PyObject* get_name(PyObject* self, void*) { return PyUnicode_FromString(of(self)->def->name); }

inline PyObject* get_qualname(PyObject* self, void*) {
    Function* f = of(self);
    if (f->module) return PyUnicode_FromString(f->def->name);
    return PyUnicode_FromFormat("%U.%s", reinterpret_cast<PyHeapTypeObject*>(f->owner)->ht_qualname, f->def->name);
}

inline PyObject* get_module(PyObject* self, void*) {
    Function* f = of(self);
    if (f->module) return PyModule_GetNameObject(f->module);
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(f->owner), "__module__");
}

inline PyObject* get_doc(PyObject* self, void*) {
    const char* text = doc_text(of(self)->def->doc);
    if (!*text) Py_RETURN_NONE;
    return PyUnicode_FromString(text);
}

inline PyObject* get_text_signature(PyObject* self, void*) {
    const char* begin;
    const char* end;
    if (!text_signature(of(self)->def->doc, begin, end)) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(begin, end - begin);
}

// The annotations, the signature and the namespace below are made on first
// use and published once: two threads (or a callback run by the collector
// while one is made) may make one each, and the first published is kept.
inline PyObject* get_annotations(PyObject* self, void*) {
    Function* f = of(self);
    PyObject* made = published(f->annotations);
    if (!made) {
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        const char* const* a = f->def->annotations.begin();
        for (size_t i = 0; i + 1 < f->def->annotations.size(); i += 2) {
            Ref text = Ref::steal(PyUnicode_FromString(a[i + 1]));
            if (!text || PyDict_SetItemString(d.get(), a[i], text.get()) < 0) return nullptr;
        }
        made = publish(f->annotations, std::move(d));
    }
    return new_ref(made);
}

#if PY_VERSION_HEX >= 0x030E0000
// __annotate__(format), as functions have it from 3.14 on (functools.wraps
// copies it, annotationlib calls it): the texts, for every format that
// takes values, forward references or strings; the annotations are strings
// in all three.
inline PyObject* annotate(PyObject* self, PyObject* format) {
    const long f = PyLong_Check(format) ? PyLong_AsLong(format) : -1;
    if (f == -1 && PyErr_Occurred()) return nullptr;
    if (f != 1 && f != 3 && f != 4) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    Ref texts = Ref::steal(get_annotations(self, nullptr));
    return texts ? PyDict_Copy(texts.get()) : nullptr;
}
#endif

inline PyObject* import_attr(const char* module, const char* name) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

// The signature, read off the text signature and the annotations:
// inspect.Signature([inspect.Parameter(...), ...], return_annotation=...).
inline PyObject* make_signature(Function* f) {
    Ref parameter = Ref::steal(import_attr("inspect", "Parameter"));
    Ref signature = Ref::steal(parameter ? import_attr("inspect", "Signature") : nullptr);
    Ref literal = Ref::steal(signature ? import_attr("ast", "literal_eval") : nullptr);
    Ref annotations = Ref::steal(literal ? get_annotations(reinterpret_cast<PyObject*>(f), nullptr) : nullptr);
    if (!annotations) return nullptr;
    Ref empty = Ref::steal(PyObject_GetAttrString(parameter.get(), "empty"));
    Ref kinds[3] = {Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_ONLY")),
                    Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD")),
                    Ref::steal(PyObject_GetAttrString(parameter.get(), "KEYWORD_ONLY"))};
    if (!empty || !kinds[0] || !kinds[1] || !kinds[2]) return nullptr;
    Ref params = Ref::steal(PyList_New(0));
    if (!params) return nullptr;

    const char* begin;
    const char* end;
    if (!text_signature(f->def->doc, begin, end)) {
        PyErr_Format(PyExc_SystemError, "%s has no text signature", f->def->name);
        return nullptr;
    }
    // "(a, b=1, /, c, *, d)": names, defaults, and the markers / and *.
    int kind = 1;
    Py_ssize_t positional_only = 0;  // parameters before a "/"
    for (const char* p = begin + 1; p < end - 1;) {
        const char* stop = p;
        while (stop < end - 1 && *stop != ',') ++stop;
        const char* eq = static_cast<const char*>(std::memchr(p, '=', size_t(stop - p)));
        const char* name_end = eq ? eq : stop;
        const Py_ssize_t len = name_end - p;
        if (len == 1 && *p == '/') {
            positional_only = PyList_GET_SIZE(params.get());
        } else if (len == 1 && *p == '*') {
            kind = 2;
        } else if (!(len == 7 && std::memcmp(p, "$module", 7) == 0)) {
            Ref name = (*p == '$') ? Ref::steal(PyUnicode_FromStringAndSize(p + 1, len - 1))
                                   : Ref::steal(PyUnicode_FromStringAndSize(p, len));
            if (!name) return nullptr;
            Ref deflt = eq ? Ref::steal(PyUnicode_FromStringAndSize(eq + 1, stop - eq - 1)) : Ref::borrow(empty.get());
            if (deflt && eq) deflt = Ref::steal(PyObject_CallOneArg(literal.get(), deflt.get()));
            if (!deflt) return nullptr;
            // The dict is the function's __annotations__, which callers may change.
            Ref ann;
            if (dict_get_ref(annotations.get(), name.get(), ann) < 0) return nullptr;
            Ref kw = Ref::steal(
                Py_BuildValue("{sOsO}", "default", deflt.get(), "annotation", ann ? ann.get() : empty.get()));
            Ref args = Ref::steal(kw ? PyTuple_Pack(2, name.get(), kinds[kind].get()) : nullptr);
            Ref param = Ref::steal(args ? PyObject_Call(parameter.get(), args.get(), kw.get()) : nullptr);
            if (!param || PyList_Append(params.get(), param.get()) < 0) return nullptr;
        }
        p = stop;
        while (p < end - 1 && (*p == ',' || *p == ' ')) ++p;
    }
    // The parameters before "/" are positional-only: made again with that kind.
    for (Py_ssize_t i = 0; i < positional_only; ++i) {
        PyObject* param = PyList_GET_ITEM(params.get(), i);
        Ref replace = Ref::steal(PyObject_GetAttrString(param, "replace"));
        Ref kw = Ref::steal(replace ? Py_BuildValue("{sO}", "kind", kinds[0].get()) : nullptr);
        Ref noargs = Ref::steal(kw ? PyTuple_New(0) : nullptr);
        Ref made = Ref::steal(noargs ? PyObject_Call(replace.get(), noargs.get(), kw.get()) : nullptr);
        if (!made || PyList_SetItem(params.get(), i, made.release()) < 0) return nullptr;
    }
    Ref result, return_key = Ref::steal(PyUnicode_FromString("return"));
    if (!return_key || dict_get_ref(annotations.get(), return_key.get(), result) < 0) return nullptr;
    Ref kw = Ref::steal(Py_BuildValue("{sO}", "return_annotation", result ? result.get() : empty.get()));
    Ref args = Ref::steal(kw ? PyTuple_Pack(1, params.get()) : nullptr);
    return args ? PyObject_Call(signature.get(), args.get(), kw.get()) : nullptr;
}

inline PyObject* get_signature(PyObject* self, void*) {
    Function* f = of(self);
    PyObject* made = published(f->signature);
    if (!made) {
        Ref sig = Ref::steal(make_signature(f));
        if (!sig) return nullptr;
        made = publish(f->signature, std::move(sig));
    }
    return new_ref(made);
}

// A coroutine method's twin: `async def name(<its text signature>): pass`,
// whose code object, defaults and keyword defaults the method shows as its
// own, so that inspect.iscoroutinefunction (which reads the code's flags),
// asyncio and unittest.mock (which wants a __code__ before it asks) take the
// method for the coroutine function it is. Its signature stays __signature__.
inline PyObject* twin(Function* f) {
    if (!f->def->coroutine) return nullptr;
    if (PyObject* made = published(f->twin)) return made;
    const char* begin;
    const char* end;
    if (!text_signature(f->def->doc, begin, end)) {
        PyErr_Format(PyExc_SystemError, "%s has no text signature", f->def->name);
        return nullptr;
    }
    std::string params(begin, end);
    for (const char* self_mark : {"$self", "$module"})
        if (size_t at = params.find(self_mark); at != std::string::npos) params.erase(at, 1);
    const std::string source = std::string("async def ") + f->def->name + params + ":\n    pass\n";
    Ref ns = Ref::steal(PyDict_New());
    if (!ns || PyDict_SetItemString(ns.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
    Ref done = Ref::steal(PyRun_String(source.c_str(), Py_file_input, ns.get(), ns.get()));
    if (!done) return nullptr;
    Ref fn;
    Ref name = Ref::steal(PyUnicode_FromString(f->def->name));
    if (!name || dict_get_ref(ns.get(), name.get(), fn) <= 0) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "no twin made for %s", f->def->name);
        return nullptr;
    }
    return publish(f->twin, std::move(fn));
}

// An attribute of a coroutine method's twin (AttributeError elsewhere, as
// before: a plain function of ours has no code object).
inline PyObject* twin_attr(PyObject* self, void* which) {
    Function* f = of(self);
    if (!f->def->coroutine) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                     static_cast<const char*>(which));
        return nullptr;
    }
    PyObject* fn = twin(f);
    return fn ? PyObject_GetAttrString(fn, static_cast<const char*>(which)) : nullptr;
}

#if PY_VERSION_HEX >= 0x030C0000
// What inspect.markcoroutinefunction sets on a function (3.12+).
inline PyObject* get_coroutine_marker(PyObject* self, void*) {
    Function* f = of(self);
    if (!f->def->coroutine) {
        PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '_is_coroutine_marker'",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    Functions& fs = *f->functions;
    PyObject* mark = published(fs.coroutine_mark);
    if (!mark) {
        // inspect's mark is private (and named differently in 3.12 and
        // 3.13): read it off a function that inspect itself has marked.
        PyObject* fn = twin(f);
        Ref marker = Ref::steal(fn ? import_attr("inspect", "markcoroutinefunction") : nullptr);
        Ref marked = Ref::steal(marker ? PyObject_CallOneArg(marker.get(), fn) : nullptr);
        Ref found = Ref::steal(marked ? PyObject_GetAttrString(marked.get(), "_is_coroutine_marker") : nullptr);
        if (!found) return nullptr;
        mark = publish(fs.coroutine_mark, std::move(found));
    }
    return new_ref(mark);
}
#endif

// A namespace that holds what the annotation texts name, for
// typing.get_type_hints (which looks for __globals__).
inline PyObject* get_globals(PyObject* self, void*) {
    Function* f = of(self);
    Functions& fs = *f->functions;
    PyObject* made = published(fs.hints);
    if (!made) {
        PyObject* module = f->module ? f->module : PyType_GetModule(f->owner);
        if (!module) return nullptr;
        Ref ns = Ref::steal(PyDict_New());
        Ref name = Ref::steal(ns ? PyModule_GetNameObject(module) : nullptr);
        if (!name || PyDict_SetItemString(ns.get(), "__name__", name.get()) < 0) return nullptr;
        for (size_t i = 0; i < fs.n_hint_names; ++i) {
            const HintName& h = fs.hint_names[i];
            Ref value = Ref::steal(h.from ? import_attr(h.from, h.name) : PyObject_GetAttrString(module, h.name));
            if (!value || PyDict_SetItemString(ns.get(), h.name, value.get()) < 0) return nullptr;
        }
        made = publish(fs.hints, std::move(ns));
    }
    return new_ref(made);
}

inline PyObject* repr(PyObject* self) {
    Ref qualname = Ref::steal(get_qualname(self, nullptr));
    return qualname ? PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self) : nullptr;
}

// Pickled by reference, as functions are: by the qualified name, which the
// unpickler looks up in __module__.
inline PyObject* reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

inline int traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = of(self);
    Py_VISIT(f->module);
    Py_VISIT(reinterpret_cast<PyObject*>(f->owner));
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->twin);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int clear(PyObject* self) {
    Function* f = of(self);
    f->state = nullptr;
    Py_CLEAR(f->module);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->twin);
    return 0;
}


inline void dealloc(PyObject* self) { gc_dealloc(self, of(self)->weakrefs, clear); }

inline PyObject* make(Functions& fs, const FunctionDef& def, PyObject* module, PyTypeObject* owner) {
    Function* f = PyObject_GC_New(Function, fs.type);
    if (!f) return nullptr;
    f->vectorcall = call;
    f->def = &def;
    f->functions = &fs;
    f->module = Py_XNewRef(module);
    f->state = module ? PyModule_GetState(module) : nullptr;
    f->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(owner)));
    f->annotations = f->signature = f->twin = f->weakrefs = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

// A method's implementation, which takes the instance as a PyObject*, in
// the form a FunctionDef holds, guarded.
template <PyObject* (*F)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* method_entry(void* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    try {
        return F(static_cast<PyObject*>(self), args, nargs, kwnames);
    } catch (...) {
        set_error_from_cxx();
        return nullptr;
    }
}

}  // namespace function_detail

// The guarded implementation of a module function whose arguments `Sig`
// describes entirely (see detail::module_entry in args.hpp).
template <typename State, const auto& Sig, auto Op>
constexpr FunctionImpl module_function = &detail::Entry<&detail::module_entry<State, Sig, Op>>::call;

inline bool Functions::make_type(PyObject* module, const char* spec_name) {
    using namespace function_detail;
    static PyGetSetDef getset[] = {
        {"__name__", ZK_ENTRY(get_name), nullptr, nullptr, nullptr},
        {"__qualname__", ZK_ENTRY(get_qualname), nullptr, nullptr, nullptr},
        {"__module__", ZK_ENTRY(get_module), nullptr, nullptr, nullptr},
        {"__doc__", ZK_ENTRY(get_doc), nullptr, nullptr, nullptr},
        {"__text_signature__", ZK_ENTRY(get_text_signature), nullptr, nullptr, nullptr},
        {"__annotations__", ZK_ENTRY(get_annotations), nullptr, nullptr, nullptr},
        {"__signature__", ZK_ENTRY(get_signature), nullptr, nullptr, nullptr},
        {"__globals__", ZK_ENTRY(get_globals), nullptr, nullptr, nullptr},
        {"__code__", ZK_ENTRY(twin_attr), nullptr, nullptr, const_cast<char*>("__code__")},
        {"__defaults__", ZK_ENTRY(twin_attr), nullptr, nullptr, const_cast<char*>("__defaults__")},
        {"__kwdefaults__", ZK_ENTRY(twin_attr), nullptr, nullptr, const_cast<char*>("__kwdefaults__")},
#if PY_VERSION_HEX >= 0x030C0000
        {"_is_coroutine_marker", ZK_ENTRY(get_coroutine_marker), nullptr, nullptr, nullptr},
#endif
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"__reduce__", ZK_CFUNC(reduce), METH_NOARGS, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
        {"__annotate__", ZK_CFUNC(annotate), METH_O, nullptr},
#endif
        {nullptr, nullptr, 0, nullptr},
    };
    static PyMemberDef members[] = {
        {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
        {"__weaklistoffset__", T_PYSSIZET, offsetof(Function, weakrefs), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        ZK_SLOT(Py_tp_dealloc, dealloc),
        ZK_SLOT(Py_tp_traverse, traverse),
        ZK_SLOT(Py_tp_clear, clear),
        ZK_SLOT(Py_tp_repr, repr),
        ZK_SLOT(Py_tp_descr_get, descr_get),
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {Py_tp_members, members},
        {0, nullptr},
    };
    // Instances behave as unbound methods do (calling one bound to an
    // instance is calling it with the instance first), so the interpreter
    // may call a method without making a bound method object.
    PyType_Spec spec = {
        spec_name,
        sizeof(Function),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    type = type_from_spec(module, spec);
    if (!type) return false;
    // f.__call__ is f itself, not the type's slot wrapper: so tools that
    // read a callable's signature off its __call__ (unittest.mock's
    // autospec, for one) read the function's own. Calls still go through
    // the type's call slot.
    static PyGetSetDef call_attr = {"__call__", ZK_ENTRY(get_self), nullptr, nullptr, nullptr};
    Ref descr = Ref::steal(PyDescr_NewGetSet(type, &call_attr));
    if (!descr || PyDict_SetItemString(type->tp_dict, "__call__", descr.get()) < 0) return false;
    PyType_Modified(type);
    return true;
}

inline bool Functions::add_to_module(PyObject* module, const FunctionDef* defs, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        Ref f = Ref::steal(function_detail::make(*this, defs[i], module, nullptr));
        if (!f || PyModule_AddObjectRef(module, defs[i].name, f.get()) < 0) return false;
    }
    return true;
}

inline bool Functions::add_to_type(PyTypeObject* owner, const FunctionDef* defs, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        Ref f = Ref::steal(function_detail::make(*this, defs[i], nullptr, owner));
        if (!f || PyDict_SetItemString(owner->tp_dict, defs[i].name, f.get()) < 0) return false;
    }
    PyType_Modified(owner);
    return true;
}

}  // namespace zk

// The implementation of a method (taking its instance as a PyObject*) as a FunctionDef holds it.
#define ZK_METHOD_ENTRY(f) (&::zk::function_detail::method_entry<f>)
