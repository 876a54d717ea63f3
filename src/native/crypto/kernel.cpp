// The AES-GCM of the `cryptography` package, for large values.
//
// The system's libcrypto (OpenSSL 3.0 here) has AES-GCM code for 128-bit
// vector units only, about 3-4 GB/s on this machine; the OpenSSL built into
// cryptography's wheel has code for 512-bit VAES and VPCLMULQDQ, about 9-10
// GB/s. Calling its AESGCM.encrypt_into/decrypt_into on memoryviews over our
// own buffers costs about a microsecond more per call than our EVP contexts,
// so only values from kKernelFrom bytes on take this way (measured on this
// machine: see kKernelFrom). Where cryptography cannot be imported (an
// isolated sub-interpreter) or has no encrypt_into (before 46), the EVP
// contexts do all the work. The stored format is the same either way.
#include "crypto.hpp"

#include <utility>

namespace zk::crypto {

// Where the CPU has AVX-512 with VAES and VPCLMULQDQ, cryptography's OpenSSL
// runs AES-GCM at about 9-10 GB/s against 3-4 for the system's, and the
// kernel's extra cost per call (about 1.5 us: the call and its memoryviews)
// is won back from about 8 KiB on. Elsewhere both run the same code at the
// same speed (measured on an AMD EPYC with 256-bit VAES: a round trip of
// 256 B takes 2.1 us by EVP and 5.1 by the kernel, 16 KiB 14.4 and 17.5,
// 64 KiB 55.2 and 53.9, 1 MiB 0.94 and 0.93 ms): there the kernel takes only
// values of 64 KiB or more, where the two are even.
Py_ssize_t kernel_from() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("vaes") && __builtin_cpu_supports("vpclmulqdq"))
        return 8 * 1024;
#endif
    return 64 * 1024;
}

const Py_ssize_t kKernelFrom = kernel_from();

namespace {

// AESGCM, or Py_None where it cannot be used; published once, borrowed
// from the module's state.
PyObject* aesgcm_class(State& st) {
    if (PyObject* cls = published(st.aesgcm)) return cls;
    Ref found;
    if (may_import_cryptography()) {
        Ref aead = Ref::steal(PyImport_ImportModule("cryptography.hazmat.primitives.ciphers.aead"));
        Ref cls = Ref::steal(aead ? PyObject_GetAttrString(aead.get(), "AESGCM") : nullptr);
        if (cls && PyObject_HasAttr(cls.get(), st.s_encrypt_into) && PyObject_HasAttr(cls.get(), st.s_decrypt_into))
            found = std::move(cls);
        else if (!cls && !PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError))
            return nullptr;
        PyErr_Clear();
    }
    return publish(st.aesgcm, found ? std::move(found) : Ref::borrow(Py_None));
}

// A memoryview over n bytes of ours, released again by Views.
struct Views {
    State& st;
    PyObject* v[3] = {};
    ~Views() {
        Ref pending = take_error();
        for (PyObject* view : v) {
            if (!view) continue;
            // The kernel holds on to none of them; should one still be
            // exported, the view keeps its reference and its memory is ours
            // for as long as it lives: the error is reported, not hidden.
            PyObject* r = PyObject_CallMethodNoArgs(view, st.s_release);
            if (r)
                Py_DECREF(r);
            else
                PyErr_WriteUnraisable(view);
            Py_DECREF(view);
        }
        restore_error(std::move(pending));
    }
    bool make(int i, const unsigned char* p, Py_ssize_t n, int flags) {
        v[i] = PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<unsigned char*>(p)), n, flags);
        return v[i] != nullptr;
    }
};

bool call(State& st, PyObject* name, PyObject* kernel, const unsigned char* nonce, const unsigned char* data,
          Py_ssize_t n_in, unsigned char* out, Py_ssize_t n_out) {
    Ref keep = Ref::borrow(kernel);
    Views views{st};
    if (!views.make(0, nonce, kNonceBytes, PyBUF_READ) || !views.make(1, data, n_in, PyBUF_READ) ||
        !views.make(2, out, n_out, PyBUF_WRITE))
        return false;
    PyObject* args[] = {kernel, views.v[0], views.v[1], Py_None, views.v[2]};
    Ref written = Ref::steal(
        PyObject_VectorcallMethod(name, args, 5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!written) return false;
    const Py_ssize_t w = PyLong_AsSsize_t(written.get());
    if (w == -1 && PyErr_Occurred()) return false;
    if (w != n_out) {
        PyErr_Format(PyExc_SystemError, "AESGCM wrote %zd bytes where %zd were due", w, n_out);
        return false;
    }
    return true;
}

}  // namespace

int prepare_kernel(State& st, Keyed& k, Py_ssize_t most) {
    if (most < kKernelFrom || !k.cipher.ready() || published(k.cipher.kernel)) return 0;
    PyObject* cls = aesgcm_class(st);
    if (!cls) return -1;
    Ref made = cls == Py_None ? Ref::borrow(Py_None) : Ref::steal(PyObject_CallOneArg(cls, k.key.get()));
    if (!made) return -1;
    publish(k.cipher.kernel, std::move(made));
    return 1;
}

PyObject* kernel_for(const Keyed& k, Py_ssize_t n) {
    if (n < kKernelFrom) return nullptr;
    PyObject* kernel = published(k.cipher.kernel);
    return kernel == Py_None ? nullptr : kernel;
}

bool kernel_encrypt(State& st, PyObject* kernel, const unsigned char* nonce, const unsigned char* data, Py_ssize_t n,
                    unsigned char* out) {
    return call(st, st.s_encrypt_into, kernel, nonce, data, n, out, n + kTagBytes);
}

bool kernel_decrypt(State& st, PyObject* kernel, const unsigned char* nonce, const unsigned char* data, Py_ssize_t n,
                    unsigned char* out) {
    return call(st, st.s_decrypt_into, kernel, nonce, data, n + kTagBytes, out, n);
}

}  // namespace zk::crypto
