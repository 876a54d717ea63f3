// The crypto module: the Crypto class, its methods and the module state.
#include "common/function.hpp"
#include "common/module.hpp"
#include "crypto.hpp"

#include <structmember.h>  // after Python.h, which crypto.hpp brings in

#include <cstring>
#include <new>
#include <utility>

namespace zk::crypto {

namespace {

// A Crypto object: what it encrypts with is one Keyed, held in a capsule,
// which __init__ replaces whole (under the object's critical section) and
// every call reads once, taking a reference of its own. A Keyed holds a
// PosixPath, bytes and an AESGCM, none of which can refer back to the object,
// so the type needs no GC.
struct CryptoObject {
    PyObject_HEAD
    PyObject* keyed;     // capsule of a Keyed; NULL before __init__
    PyObject* weakrefs;  // weak references, as instances of a Python class allow
};

CryptoObject* as_crypto(PyObject* self) { return reinterpret_cast<CryptoObject*>(self); }

State& state_of_module(PyObject* m) { return *static_cast<State*>(PyModule_GetState(m)); }

// The capsules are ours alone (never handed out), so they go unnamed: a
// name would only cost a comparison of texts on every call.
Keyed* keyed_in(PyObject* capsule) { return static_cast<Keyed*>(PyCapsule_GetPointer(capsule, nullptr)); }

void free_keyed(PyObject* capsule) { delete keyed_in(capsule); }

// The object's Keyed as it is now (its capsule, a reference of the caller's
// own); empty with ValueError for an object that Crypto.__new__ alone made.
Ref keyed_of(PyObject* self, bool raise = true) {
    Ref capsule;
    {
        CriticalSection section(self);
        capsule = Ref::borrow(as_crypto(self)->keyed);
    }
    if (!capsule && raise)
        PyErr_SetString(PyExc_ValueError, "the Crypto object has not been initialised with a key path");
    return capsule;
}

// pathlib.Path, imported on first need: most programs that load this module
// to decrypt a credential have a Crypto made for them with a Path already.
PyObject* path_type(State& st) {
    if (PyObject* t = published(st.path_type)) return t;
    Ref mod = Ref::steal(PyImport_ImportModule("pathlib"));
    Ref t = Ref::steal(mod ? PyObject_GetAttrString(mod.get(), "Path") : nullptr);
    return t ? publish(st.path_type, std::move(t)) : nullptr;
}

// Crypto(key_path), also as Crypto.__init__(self, key_path): makes the path,
// loads (or creates) the key and sets up the cipher. Called again on an
// object, it puts the new ones in place only once all are ready; calls
// already under way finish with the key they began with.
PyObject* crypto_init_impl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr Signature<1> sig{"Crypto", {pos("key_path")}};
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;

    State& st = state_of_object(self);
    // pathlib.Path() itself decides what makes a path; its TypeError stands.
    PyObject* path_cls = path_type(st);
    Ref path = Ref::steal(path_cls ? PyObject_CallOneArg(path_cls, a[0]) : nullptr);
    if (!path) return nullptr;
    Ref key = Ref::steal(load_or_create_key(path.get()));
    if (!key) return nullptr;
    auto* made = new Keyed;
    Ref capsule = Ref::steal(PyCapsule_New(made, nullptr, free_keyed));
    if (!capsule) {
        delete made;
        return nullptr;
    }
    made->key_path = std::move(path);
    made->key = std::move(key);
    if (!made->cipher.init(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(made->key.get())),
                           static_cast<size_t>(PyBytes_GET_SIZE(made->key.get()))))
        return nullptr;
    Ref old;
    {
        CriticalSection section(self);
        old = Ref::steal(std::exchange(as_crypto(self)->keyed, capsule.release()));
    }
    Py_RETURN_NONE;
}

int crypto_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    Ref done = Ref::steal(with_fastcall(args, kwargs, [&](PyObject* const* stack, Py_ssize_t n, PyObject* kwnames) {
        return crypto_init_impl(self, stack, n, kwnames);
    }));
    return done ? 0 : -1;
}

void crypto_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    CryptoObject* obj = as_crypto(self);
    if (obj->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(obj->keyed);
    type->tp_free(self);
    Py_DECREF(type);
}

// Runs op(state, keyed) with the Keyed the object holds, the kernel for a
// value of up to `most` bytes made first. Making it runs Python code (an
// import, a constructor), during which __init__ may give the object another
// key: then the call starts again with that one, so that a value is always
// encrypted under the key the object reports.
template <typename Op>
PyObject* with_keyed(PyObject* self, Py_ssize_t most, Op&& op) {
    State& st = state_of_object(self);
    for (;;) {
        Ref capsule = keyed_of(self);
        if (!capsule) return nullptr;
        Keyed& k = *keyed_in(capsule.get());
        const int ran = prepare_kernel(st, k, most);
        if (ran < 0) return nullptr;
        if (ran && keyed_of(self, false).get() != capsule.get()) continue;
        return op(st, k);
    }
}

PyObject* crypto_load_or_create_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    (void)args;
    if (!no_arguments("Crypto._load_or_create_key", nargs, kwnames)) return nullptr;
    Ref capsule = keyed_of(self);
    return capsule ? load_or_create_key(keyed_in(capsule.get())->key_path.get()) : nullptr;
}

PyObject* crypto_encrypt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("Crypto.encrypt", pos("plaintext", Kind::str));
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    // At most four bytes of UTF-8 a character.
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a[0]);
    const Py_ssize_t most = len > PY_SSIZE_T_MAX / 4 ? PY_SSIZE_T_MAX : len * 4;
    return with_keyed(self, most, [&](State& st, Keyed& k) { return encrypt(st, k, a[0]); });
}

PyObject* crypto_decrypt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr auto sig = signature("Crypto.decrypt", pos("ciphertext", Kind::bytes));
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    return with_keyed(self, PyBytes_GET_SIZE(a[0]) - kOverhead,
                      [&](State& st, Keyed& k) { return decrypt(st, k, a[0]); });
}

// The key file's path and the key, as the object holds them now.
PyObject* get_key_part(PyObject* self, void* which) {
    Ref capsule = keyed_of(self, false);
    if (!capsule) {
        PyErr_Format(PyExc_AttributeError, "'Crypto' object has no attribute '%s'", static_cast<const char*>(which));
        return nullptr;
    }
    Keyed* k = keyed_in(capsule.get());
    return new_ref((std::strcmp(static_cast<const char*>(which), "_key") == 0 ? k->key : k->key_path).get());
}

#define ZK_DOC_LOAD                                                       \
    "_load_or_create_key($self, /)\n--\n\n"                               \
    "加载已有密钥，或首次使用时生成 256 位 AES 密钥并持久化。"

#define ZK_DOC_ENCRYPT                                                    \
    "encrypt($self, /, plaintext)\n--\n\n"                                \
    "加密明文字符串。\n"                                                   \
    "\n"                                                                  \
    "Args:\n"                                                             \
    "    plaintext: 待加密的明文，按 UTF-8 编码。\n"                         \
    "\n"                                                                  \
    "Returns:\n"                                                          \
    "    [12 字节随机 nonce] + [AES-GCM 密文]，共 28 + n 字节\n"             \
    "    （n 为明文的 UTF-8 字节数，密文末尾含 16 字节认证标签）。\n"           \
    "\n"                                                                  \
    "Raises:\n"                                                           \
    "    ValueError: 密钥长度不是 128、192 或 256 位。"

#define ZK_DOC_DECRYPT                                                    \
    "decrypt($self, /, ciphertext)\n--\n\n"                               \
    "解密密文，还原为明文字符串。\n"                                         \
    "\n"                                                                  \
    "Args:\n"                                                             \
    "    ciphertext: encrypt() 返回的字节串（nonce + 密文）。\n"              \
    "\n"                                                                  \
    "Returns:\n"                                                          \
    "    解密得到的明文字符串。\n"                                           \
    "\n"                                                                  \
    "Raises:\n"                                                           \
    "    cryptography.exceptions.InvalidTag: 密钥不匹配或数据被篡改。\n"      \
    "    ValueError: 密钥长度不是 128、192 或 256 位。"

#define ZK_DOC_CLASS                                                      \
    "AES-256-GCM 加密器，管理密钥的生成、加载和加解密操作。\n"                 \
    "\n"                                                                  \
    "密钥文件在首次使用时自动生成（256 位），并以 600 权限\n"                  \
    "（仅所有者可读写）存储。"

const FunctionDef crypto_methods[] = {
    {"__init__", ZK_METHOD_ENTRY(crypto_init_impl), "__init__($self, /, key_path)\n--\n\n",
     {"key_path", "Path", "return", "None"}},
    {"_load_or_create_key", ZK_METHOD_ENTRY(crypto_load_or_create_key), ZK_DOC_LOAD, {"return", "bytes"}},
    {"encrypt", ZK_METHOD_ENTRY(crypto_encrypt), ZK_DOC_ENCRYPT, {"plaintext", "str", "return", "bytes"}},
    {"decrypt", ZK_METHOD_ENTRY(crypto_decrypt), ZK_DOC_DECRYPT, {"ciphertext", "bytes", "return", "str"}},
};

// What the annotation texts name besides builtins.
const HintName hint_names[] = {{"Path", "pathlib"}};

PyMemberDef crypto_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CryptoObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef crypto_getset[] = {
    {"_key_path", ZK_ENTRY(get_key_part), nullptr, "密钥文件路径。", const_cast<char*>("_key_path")},
    {"_key", ZK_ENTRY(get_key_part), nullptr, "AES 密钥（密钥文件的原始字节）。", const_cast<char*>("_key")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot crypto_slots[] = {
    ZK_SLOT(Py_tp_init, crypto_init),
    ZK_SLOT(Py_tp_dealloc, crypto_dealloc),
    {Py_tp_doc, const_cast<char*>(ZK_DOC_CLASS)},
    {Py_tp_members, crypto_members},
    {Py_tp_getset, crypto_getset},
    {0, nullptr},
};

PyType_Spec crypto_spec = {
    "zentrik.auth.storage.crypto.Crypto",
    sizeof(CryptoObject),
    0,
    // Final (no Py_TPFLAGS_BASETYPE), and its attributes are fixed.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    crypto_slots,
};

// The authentication failure is cryptography's InvalidTag, which host code
// catches. Getting it imports the whole of cryptography's OpenSSL binding
// (about half the time of importing this module), so that happens on first
// need, not at load, and only in the main interpreter (see
// may_import_cryptography). Where cryptography cannot be imported (not
// installed, or a sub-interpreter), the stand-in of the same name made at load
// is raised instead. Whichever is found first is published, and the module's
// InvalidTag attribute says which is in use.
PyObject* invalid_tag_type(State& st) {
    if (PyObject* type = published(st.invalid_tag)) return type;
    Ref found;
    if (may_import_cryptography()) {
        Ref exceptions = Ref::steal(PyImport_ImportModule("cryptography.exceptions"));
        if (exceptions) {
            found = Ref::steal(PyObject_GetAttrString(exceptions.get(), "InvalidTag"));
            if (!found) return nullptr;
        } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
            PyErr_Clear();
        } else {
            return nullptr;
        }
    }
    return publish(st.invalid_tag, found ? std::move(found) : Ref::borrow(st.standin_tag));
}

// Module attributes made on first use: InvalidTag.
PyObject* module_getattr(PyObject* m, PyObject* name) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "InvalidTag") == 0)
        return Py_XNewRef(invalid_tag_type(state_of_module(m)));
    PyErr_Format(PyExc_AttributeError, "module 'zentrik.auth.storage.crypto' has no attribute '%U'", name);
    return nullptr;
}

PyMethodDef module_methods[] = {
    {"__getattr__", ZK_CFUNC(module_getattr), METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* raise_invalid_tag(State& st) {
    if (PyObject* type = invalid_tag_type(st)) PyErr_SetNone(type);
    return nullptr;
}

namespace {

int exec(PyObject* m) {
    State* made = start_state<State>(m);
    if (!made) return -1;
    State& st = *made;
    st.standin_tag = PyErr_NewExceptionWithDoc(
        "zentrik.auth.storage.crypto.InvalidTag",
        "Raised where cryptography.exceptions.InvalidTag cannot be imported: the key does not match or the "
        "data was altered.",
        nullptr, nullptr);
    if (!st.standin_tag) return -1;
    if (!st.functions.init(m, "zentrik.auth.storage.crypto.zentrik_function", hint_names)) return -1;
    if (!(st.s_encrypt_into = PyUnicode_InternFromString("encrypt_into")) ||
        !(st.s_decrypt_into = PyUnicode_InternFromString("decrypt_into")) ||
        !(st.s_release = PyUnicode_InternFromString("release")))
        return -1;
    st.crypto_type = PyType_FromModuleAndSpec(m, &crypto_spec, nullptr);
    if (!st.crypto_type ||
        !st.functions.add_to_type(reinterpret_cast<PyTypeObject*>(st.crypto_type), crypto_methods,
                                  sizeof crypto_methods / sizeof crypto_methods[0]))
        return -1;
    // PyModule_AddObjectRef is 3.10+; it leaves our reference in place.
    if (PyModule_AddObjectRef(m, "Crypto", st.crypto_type) < 0) return -1;
    return 0;
}

template <typename F>
void each_object(State& st, F&& f) {
    st.functions.each(f);
    f(st.invalid_tag);
    f(st.standin_tag);
    f(st.path_type);
    f(st.crypto_type);
    f(st.aesgcm);
    f(st.s_encrypt_into);
    f(st.s_decrypt_into);
    f(st.s_release);
}

ZK_MODULE_DEFINITION(State, "zentrik.auth.storage.crypto",
                     "AES-256-GCM 加密工具模块。\n"
                     "\n"
                     "为凭证文件提供对称加密能力，密钥自动生成并存储在本地文件中。\n"
                     "\n"
                     "密文格式：[12 字节随机 nonce] + [AES-GCM 密文]（密文末尾含 16 字节认证标签）。",
                     module_methods)

}  // namespace

}  // namespace zk::crypto

PyMODINIT_FUNC PyInit_crypto(void) { return PyModuleDef_Init(&zk::crypto::def); }
