// CategoryNode: the immutable record of one category node. It behaves like a
// frozen dataclass: positional-or-keyword construction, equality and hash by
// fields, a dataclass repr, no attribute assignment, pickling by its fields.
#include <cstddef>

#include "state.hpp"

namespace zk::categories {

namespace {

const char* const kFieldNames[kFields] = {"id", "node_id_path", "label", "label_path", "has_children"};

// Objects that can hold no references: a node made only of these cannot be
// part of a reference cycle and stays out of the garbage collector's lists.
inline bool atomic(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return t == &PyUnicode_Type || t == &PyBool_Type || t == &PyLong_Type || t == &PyFloat_Type || o == Py_None;
}

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr Signature<kFields> sig{
        "CategoryNode", {pos("id"), pos("node_id_path"), pos("label"), pos("label_path"), pos("has_children")}};
    PyObject* a[kFields];
    if (!parse_tuple_call(sig, args, kwargs, a)) return nullptr;
    State& st = state_of_type(type);
    return make_node(st, Ref::borrow(a[0]), Ref::borrow(a[1]), Ref::borrow(a[2]), Ref::borrow(a[3]),
                     Ref::borrow(a[4]))
        .release();
}

int node_traverse(PyObject* self, visitproc visit, void* arg) {
    Node* n = as_node(self);
    for (PyObject* f : n->f) Py_VISIT(f);
    Py_VISIT(n->canon_label_path);
    Py_VISIT(n->canon_label);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int node_clear(PyObject* self) {
    Node* n = as_node(self);
    for (PyObject*& f : n->f) Py_CLEAR(f);
    Py_CLEAR(n->canon_label_path);
    Py_CLEAR(n->canon_label);
    return 0;
}

void node_dealloc(PyObject* self) { gc_dealloc(self, as_node(self)->weakrefs, node_clear); }

PyObject* node_repr(PyObject* self) {
    int r = Py_ReprEnter(self);
    if (r != 0) return r > 0 ? PyUnicode_FromString("...") : nullptr;
    Node* n = as_node(self);
    PyObject* out = PyUnicode_FromFormat(
        "CategoryNode(id=%R, node_id_path=%R, label=%R, label_path=%R, has_children=%R)", field(n, 0),
        field(n, 1), field(n, 2), field(n, 3), field(n, 4));
    Py_ReprLeave(self);
    return out;
}

// hash((id, node_id_path, label, label_path, has_children)): the tuple hash
// computed over the fields without building the tuple.
Py_hash_t node_hash(PyObject* self) {
    Node* n = as_node(self);
    Py_uhash_t prime1, prime2, prime5;
    int rotate;
    if constexpr (sizeof(Py_uhash_t) > 4) {
        prime1 = static_cast<Py_uhash_t>(11400714785074694791ULL);
        prime2 = static_cast<Py_uhash_t>(14029467366897019727ULL);
        prime5 = static_cast<Py_uhash_t>(2870177450012600261ULL);
        rotate = 31;
    } else {
        prime1 = static_cast<Py_uhash_t>(2654435761UL);
        prime2 = static_cast<Py_uhash_t>(2246822519UL);
        prime5 = static_cast<Py_uhash_t>(374761393UL);
        rotate = 13;
    }
    Py_uhash_t acc = prime5;
    for (int i = 0; i < kFields; ++i) {
        Py_hash_t h = PyObject_Hash(field(n, i));
        if (h == -1) return -1;
        acc += static_cast<Py_uhash_t>(h) * prime2;
        acc = (acc << rotate) | (acc >> (8 * sizeof(Py_uhash_t) - static_cast<unsigned>(rotate)));
        acc *= prime1;
    }
    acc += static_cast<Py_uhash_t>(kFields) ^ (prime5 ^ 3527539UL);
    if (acc == static_cast<Py_uhash_t>(-1)) return 1546275796;
    return static_cast<Py_hash_t>(acc);
}

// Equal to another node with equal fields, compared in order as tuples are.
PyObject* node_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    // Field comparisons may run Python code; hold both nodes meanwhile.
    Ref keep_a = Ref::borrow(self), keep_b = Ref::borrow(other);
    bool equal = true;
    for (int i = 0; i < kFields && equal; ++i) {
        Ref x = Ref::borrow(field(as_node(self), i));
        Ref y = Ref::borrow(field(as_node(other), i));
        int r = PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
        if (r < 0) return nullptr;
        equal = r == 1;
    }
    return new_ref((equal == (op == Py_EQ)) ? Py_True : Py_False);
}

int node_setattro(PyObject*, PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
        return -1;
    }
    PyErr_Format(PyExc_AttributeError, value ? "cannot assign to field %R" : "cannot delete field %R", name);
    return -1;
}

PyObject* node_reduce(PyObject* self, PyObject*) {
    Node* n = as_node(self);
    return Py_BuildValue("O(OOOOO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), field(n, 0),
                         field(n, 1), field(n, 2), field(n, 3), field(n, 4));
}

#if PY_VERSION_HEX >= 0x030D0000
// copy.replace(node, **changes), as a dataclass has it from 3.13 on: a new
// node of the same fields but the changed ones, made by the class itself
// (which words the errors of unknown or missing fields).
PyObject* node_replace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError, "CategoryNode.__replace__() takes 1 positional argument but %zd were given",
                     nargs + 1);
        return nullptr;
    }
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs) return nullptr;
    for (int i = 0; i < kFields; ++i)
        if (PyDict_SetItemString(kwargs.get(), kFieldNames[i], field(as_node(self), i)) < 0) return nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i)
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), args[i]) < 0) return nullptr;
    Ref empty = Ref::steal(PyTuple_New(0));
    return empty ? PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(self)), empty.get(), kwargs.get()) : nullptr;
}
#endif

PyMethodDef node_methods[] = {
    {"__reduce__", ZK_CFUNC(node_reduce), METH_NOARGS, "__reduce__($self, /)\n--\n\nReturn state information for pickling."},
#if PY_VERSION_HEX >= 0x030D0000
    {"__replace__", ZK_CFUNC(node_replace), METH_FASTCALL | METH_KEYWORDS,
     "__replace__($self, /, **changes)\n--\n\nA new node of the same fields, the named ones changed."},
#endif
    {nullptr, nullptr, 0, nullptr},
};

// CategoryNode's __dataclass_fields__ and __dataclass_params__, for
// dataclasses.fields, asdict, astuple, replace and is_dataclass: those of a
// frozen dataclass of the same fields, made by dataclasses itself when one
// of them is first asked for (dataclasses is not imported at load).
struct DataclassAttr {
    PyObject_HEAD
    int params;  // 0: __dataclass_fields__, 1: __dataclass_params__
};

bool make_dataclass_attrs(State& st) {
    Ref make = Ref::steal(PyImport_ImportModule("dataclasses"));
    if (make) make = Ref::steal(PyObject_GetAttrString(make.get(), "make_dataclass"));
    Ref fields = Ref::steal(make ? Py_BuildValue("[(sO)(sO)(sO)(sO)(sO)]", kFieldNames[0], &PyUnicode_Type,
                                                  kFieldNames[1], &PyUnicode_Type, kFieldNames[2], &PyUnicode_Type,
                                                  kFieldNames[3], &PyUnicode_Type, kFieldNames[4], &PyBool_Type)
                                    : nullptr);
    Ref args = Ref::steal(fields ? Py_BuildValue("(sO)", "CategoryNode", fields.get()) : nullptr);
    Ref kwargs = Ref::steal(args ? Py_BuildValue("{sO}", "frozen", Py_True) : nullptr);
    Ref made = Ref::steal(kwargs ? PyObject_Call(make.get(), args.get(), kwargs.get()) : nullptr);
    Ref f = Ref::steal(made ? PyObject_GetAttrString(made.get(), "__dataclass_fields__") : nullptr);
    Ref p = Ref::steal(f ? PyObject_GetAttrString(made.get(), "__dataclass_params__") : nullptr);
    if (!p) return false;
    publish(st.dataclass_fields, std::move(f));
    publish(st.dataclass_params, std::move(p));
    return true;
}

PyObject* dataclass_attr_get(PyObject* self, PyObject*, PyObject*) {
    State& st = state_of_type(Py_TYPE(self));
    PyObject* const& slot = reinterpret_cast<DataclassAttr*>(self)->params ? st.dataclass_params : st.dataclass_fields;
    if (!published(slot) && !make_dataclass_attrs(st)) return nullptr;
    return new_ref(published(slot));
}

// The descriptors hold their type, which holds the module: the collector
// must see that link, or a module that goes away would be kept by it.
int dataclass_attr_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int dataclass_attr_clear(PyObject*) { return 0; }

void dataclass_attr_dealloc(PyObject* self) { gc_dealloc(self, nullptr, dataclass_attr_clear); }

PyType_Slot dataclass_attr_slots[] = {
    ZK_SLOT(Py_tp_descr_get, dataclass_attr_get),
    ZK_SLOT(Py_tp_traverse, dataclass_attr_traverse),
    ZK_SLOT(Py_tp_dealloc, dataclass_attr_dealloc),
    {0, nullptr},
};

PyType_Spec dataclass_attr_spec = {
    "zentrik.seller_sprite.api.categories.dataclass_attribute",
    sizeof(DataclassAttr),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    dataclass_attr_slots,
};

#define ZK_FIELD(i) \
    {const_cast<char*>(kFieldNames[i]), T_OBJECT_EX, offsetof(Node, f) + (i) * sizeof(PyObject*), READONLY, nullptr}

PyMemberDef node_members[] = {
    ZK_FIELD(0), ZK_FIELD(1), ZK_FIELD(2), ZK_FIELD(3), ZK_FIELD(4),
    {"__weaklistoffset__", T_PYSSIZET, offsetof(Node, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#undef ZK_FIELD

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CategoryNode(id, node_id_path, label, label_path, has_children)\n--\n\n"
                    "CategoryNode(id: str, node_id_path: str, label: str, label_path: str, has_children: bool)")},
    ZK_SLOT(Py_tp_new, node_new),
    ZK_SLOT(Py_tp_dealloc, node_dealloc),
    ZK_SLOT(Py_tp_traverse, node_traverse),
    ZK_SLOT(Py_tp_clear, node_clear),
    ZK_SLOT(Py_tp_repr, node_repr),
    ZK_SLOT(Py_tp_hash, node_hash),
    ZK_SLOT(Py_tp_richcompare, node_richcompare),
    ZK_SLOT(Py_tp_setattro, node_setattro),
    {Py_tp_methods, node_methods},
    {Py_tp_members, node_members},
    {0, nullptr},
};

PyType_Spec node_spec = {
    "zentrik.seller_sprite.api.categories.CategoryNode",
    sizeof(Node),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    node_slots,
};

}  // namespace

Ref make_node(State& st, Ref id, Ref node_id_path, Ref label, Ref label_path, Ref has_children) {
    Ref fields[kFields] = {std::move(id), std::move(node_id_path), std::move(label), std::move(label_path),
                           std::move(has_children)};
    Node* n = PyObject_GC_New(Node, st.node_type);
    if (!n) return nullptr;
    bool track = false;
    for (int i = 0; i < kFields; ++i) {
        track = track || !atomic(fields[i].get());
        n->f[i] = fields[i].release();
    }
    n->canon_label_path = nullptr;
    n->canon_label = nullptr;
    n->weakrefs = nullptr;
    if (track) PyObject_GC_Track(n);
    return Ref::steal(reinterpret_cast<PyObject*>(n));
}

PyTypeObject* make_node_type(PyObject* module) {
    State& st = state_of(module);
    st.dataclass_attr_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &dataclass_attr_spec, nullptr));
    if (!st.dataclass_attr_type) return nullptr;
    PyObject* type = PyType_FromModuleAndSpec(module, &node_spec, nullptr);
    if (!type) return nullptr;
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(type);
    // __match_args__ and the dataclass attributes, as a dataclass has them
    // (the type is immutable afterwards).
    Ref names = Ref::steal(Py_BuildValue("(sssss)", kFieldNames[0], kFieldNames[1], kFieldNames[2], kFieldNames[3],
                                         kFieldNames[4]));
    bool ok = names && PyDict_SetItemString(t->tp_dict, "__match_args__", names.get()) == 0;
    for (int params = 0; ok && params < 2; ++params) {
        auto* attr = PyObject_GC_New(DataclassAttr, st.dataclass_attr_type);
        if (!attr) {
            ok = false;
            break;
        }
        attr->params = params;
        PyObject_GC_Track(attr);
        Ref keep = Ref::steal(reinterpret_cast<PyObject*>(attr));
        ok = PyDict_SetItemString(t->tp_dict, params ? "__dataclass_params__" : "__dataclass_fields__", keep.get()) == 0;
    }
    if (!ok) {
        Py_DECREF(type);
        return nullptr;
    }
    PyType_Modified(t);
    return t;
}

}  // namespace zk::categories
