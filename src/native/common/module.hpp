// Module state plumbing shared by the three modules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <new>

#include "errors.hpp"

namespace zk {

// Interns the texts of a module's string table into `out`; false on error.
inline bool intern_all(const char* const* texts, int n, PyObject** out) {
    for (int i = 0; i < n; ++i)
        if (!(out[i] = PyUnicode_InternFromString(texts[i]))) return false;
    return true;
}

// The start of every module's exec: its state made in place (free_module
// ends its life) and __version__ set. NULL on error.
template <typename State>
State* start_state(PyObject* m) {
    State* st = new (PyModule_GetState(m)) State();
    return PyModule_AddStringConstant(m, "__version__", ZK_VERSION) < 0 ? nullptr : st;
}

// The same for a module with a string table (`texts`, in the order of its
// names): the common texts in `st->c` and its own interned into `st->s`.
template <typename State, int N>
State* start_state(PyObject* m, const char* const (&texts)[N]) {
    State* st = start_state<State>(m);
    return st && st->c.init() && intern_all(texts, N, st->s) ? st : nullptr;
}

// A heap type of `module` from `spec`, whose name is "pkg.mod.Name" (a
// static text): made under that name, so that its __module__ is "pkg.mod",
// and then known to the interpreter's messages as Name alone (it cuts the
// name of a type at 50 characters there, and would show the dotted name cut).
inline PyTypeObject* type_from_spec(PyObject* module, PyType_Spec spec) {
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &spec, nullptr));
    if (t)
        if (const char* dot = std::strrchr(spec.name, '.')) t->tp_name = dot + 1;
    return t;
}

}  // namespace zk

// The text of an entry of a string table, for listing the texts in order:
// const char* const texts[] = {ZK_STRINGS(ZK_TEXT_OF)};
#define ZK_TEXT_OF(name, text) text,

// Defines traverse, clear and free_module for a module whose state type
// `State` names every object it holds through a function template
// `each_object(State&, F&&)` in scope (calling f(p) on each pointer p, a
// PyObject* or a PyTypeObject* member). The
// state is made by placement new in the module's exec; free_module ends its
// life (releasing whatever else it owns) after clearing its objects.
#define ZK_MODULE_STATE_SLOTS(State)                                              \
    int traverse(PyObject* m, visitproc visit, void* arg) {                        \
        State* st = static_cast<State*>(PyModule_GetState(m));                     \
        if (!st) return 0;                                                         \
        int r = 0;                                                                 \
        each_object(*st, [&](auto*& p) {                                           \
            if (!r && p) r = visit(reinterpret_cast<PyObject*>(p), arg);              \
        });                                                                        \
        return r;                                                                  \
    }                                                                              \
    int clear(PyObject* m) {                                                       \
        State* st = static_cast<State*>(PyModule_GetState(m));                     \
        if (st) each_object(*st, [](auto*& p) { Py_CLEAR(p); });                   \
        return 0;                                                                  \
    }                                                                              \
    void free_module(void* m) {                                                    \
        clear(static_cast<PyObject*>(m));                                          \
        if (State* st = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(m)))) st->~State(); \
    }

// Nothing of a module's is process-wide: its objects live in its state and
// its types are its own, so every interpreter, one with a GIL of its own
// included, gets a module of its own. Nor do the modules need the GIL: what
// changes after load keeps the rules of shared.hpp, so a free-threaded build
// runs them with the GIL off.
#if PY_VERSION_HEX >= 0x030D0000
#define ZK_MODULE_INTERPRETER_SLOTS                                                \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},          \
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define ZK_MODULE_INTERPRETER_SLOTS                                                \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define ZK_MODULE_INTERPRETER_SLOTS
#endif

// The module definition itself: multi-phase init with one exec slot (the
// function `exec` in scope), the state plumbing above, and `def`, which the
// module's PyInit function hands to PyModuleDef_Init.
#define ZK_MODULE_DEFINITION(State, fullname, doc, methods)                       \
    ZK_MODULE_STATE_SLOTS(State)                                                   \
    PyModuleDef_Slot slots[] = {                                                   \
        {Py_mod_exec, reinterpret_cast<void*>(ZK_ENTRY(exec))},                    \
        ZK_MODULE_INTERPRETER_SLOTS                                                \
        {0, nullptr},                                                              \
    };                                                                             \
    PyModuleDef def = {                                                            \
        PyModuleDef_HEAD_INIT, fullname, doc, sizeof(State), methods, slots,       \
        ZK_ENTRY(traverse),    ZK_ENTRY(clear), ZK_ENTRY(free_module),             \
    };
