// The credential cipher: module state, the Crypto object and the pieces it is
// made of (the key file, the AES-GCM contexts, the system's random source).
#pragma once

#include "common/args.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"
#include "common/shared.hpp"

#include <openssl/evp.h>
#include <openssl/opensslv.h>

// OpenSSL 3 drives AES-GCM through the functions of the provider that
// implements it (see Cipher); older ones through EVP.
#if OPENSSL_VERSION_MAJOR >= 3
#include <openssl/core_dispatch.h>
#define ZK_GCM_PROVIDER 1
#else
#define ZK_GCM_PROVIDER 0
#endif

#include <cerrno>
#include <cstddef>

namespace zk::crypto {

// Layout of an encrypted value: nonce, ciphertext (as long as the UTF-8
// text), tag.
constexpr Py_ssize_t kNonceBytes = 12;
constexpr Py_ssize_t kTagBytes = 16;
constexpr Py_ssize_t kOverhead = kNonceBytes + kTagBytes;
// A key this module generates: AES-256.
constexpr size_t kNewKeyBytes = 32;
// The most of a key file that is read. A key is 16, 24 or 32 bytes; the bound
// keeps a key path on /dev/zero or a huge file from taking all memory.
constexpr size_t kMaxKeyFileBytes = 64 * 1024;

struct State {
    Functions functions;
    // The authentication failure, published on first need (see
    // invalid_tag_type): cryptography.exceptions.InvalidTag where that can be
    // imported, else `standin_tag`, this module's own, made at load.
    PyObject* invalid_tag = nullptr;
    PyObject* standin_tag = nullptr;
    PyObject* path_type = nullptr;    // pathlib.Path, published on first need
    PyObject* crypto_type = nullptr;  // the Crypto class
    // cryptography's AESGCM class for large values (see kernel.cpp),
    // published on first need; Py_None where it cannot be used.
    PyObject* aesgcm = nullptr;
    PyObject* s_encrypt_into = nullptr;
    PyObject* s_decrypt_into = nullptr;
    PyObject* s_release = nullptr;
};

// Two AES-GCM contexts keyed once; each call only sets its nonce. A key of a
// length AES does not take leaves both empty, and every call then fails.
struct Cipher {
#if ZK_GCM_PROVIDER
    // The provider's own contexts and functions. Through EVP, setting the
    // nonce asks the provider for the IV length on every call (OpenSSL 3.0
    // keeps no copy of it), and with the wrappers around each step that cost
    // more than the cipher's own work on a credential.
    struct Steps {
        OSSL_FUNC_cipher_newctx_fn* newctx = nullptr;
        OSSL_FUNC_cipher_freectx_fn* freectx = nullptr;
        OSSL_FUNC_cipher_encrypt_init_fn* encrypt_init = nullptr;
        OSSL_FUNC_cipher_decrypt_init_fn* decrypt_init = nullptr;
        OSSL_FUNC_cipher_update_fn* update = nullptr;
        OSSL_FUNC_cipher_final_fn* final = nullptr;
        OSSL_FUNC_cipher_get_ctx_params_fn* get_ctx_params = nullptr;
        OSSL_FUNC_cipher_set_ctx_params_fn* set_ctx_params = nullptr;
    } f;
    EVP_CIPHER* fetched = nullptr;  // holds the provider for as long as its contexts live
    void* enc = nullptr;
    void* dec = nullptr;
#else
    EVP_CIPHER_CTX* enc = nullptr;
    EVP_CIPHER_CTX* dec = nullptr;
#endif
    PyObject* kernel = nullptr;  // an AESGCM of the same key for large values, published on first need

    bool ready() const noexcept { return enc != nullptr; }
    // False with an exception set when OpenSSL fails to set up.
    bool init(const unsigned char* key, size_t len);
    // Frees the contexts (OpenSSL wipes the key schedule they hold) and the kernel.
    void reset() noexcept;
};

// What a Crypto object encrypts with: the key file's path, its key and the
// cipher keyed with it. __init__ makes a new one and puts it in place of the
// old as a whole; every call works with a reference of its own to the one
// the object held when the call began, so a call never mixes two keys.
struct Keyed {
    Ref key_path;  // pathlib.Path
    Ref key;       // bytes
    Cipher cipher;
    // Held around each sequence of EVP calls on the contexts, which every
    // thread that uses the object shares (nothing on builds with a GIL).
    Mutex lock;

    Keyed() = default;
    Keyed(const Keyed&) = delete;
    Keyed& operator=(const Keyed&) = delete;
    ~Keyed() { cipher.reset(); }
};

// Runs f (a system call that may block: no Python objects, no exceptions)
// without the GIL, as the interpreter's own os functions do; errno survives.
template <typename F>
auto without_gil(F&& f) noexcept {
    PyThreadState* ts = PyEval_SaveThread();
    auto r = f();
    const int err = errno;
    PyEval_RestoreThread(ts);
    errno = err;
    return r;
}

// f without the GIL, again after EINTR unless a Python signal handler raised.
// A negative result leaves errno set, and an exception too when a handler
// raised (errno is then EINTR).
template <typename F>
auto blocking(F&& f) {
    for (;;) {
        auto r = without_gil(f);
        if (r >= 0 || errno != EINTR) return r;
        if (PyErr_CheckSignals() < 0) {
            errno = EINTR;
            return r;
        }
    }
}

// Fills buf from the kernel's cryptographic random source, waiting (without
// the GIL) until it is ready, as os.urandom does; false with an exception set
// when that fails.
bool os_random(unsigned char* buf, size_t n);

// The module state of a Crypto object's class.
inline State& state_of_object(PyObject* self) { return *static_cast<State*>(PyType_GetModuleState(Py_TYPE(self))); }

// encrypt(): exact str -> bytes in the stored format, under `k`'s key.
// Large values take the kernel, which the caller has made (prepare_kernel).
PyObject* encrypt(State& st, Keyed& k, PyObject* text);
// decrypt(): exact bytes -> str; InvalidTag when the value does not verify.
PyObject* decrypt(State& st, Keyed& k, PyObject* value);

// Values of at least this many bytes go through the kernel (kernel.cpp).
extern const Py_ssize_t kKernelFrom;

// Makes `k`'s kernel when a value of up to `most` bytes may need it: 1 when
// it was made now (Python code ran: an import, a constructor), 0 when
// nothing was to be done, -1 on error.
int prepare_kernel(State& st, Keyed& k, Py_ssize_t most);

// `k`'s kernel for a value of `n` bytes, borrowed from `k`; NULL where the
// value takes the EVP contexts.
PyObject* kernel_for(const Keyed& k, Py_ssize_t n);

// The kernel's encrypt_into(nonce, data, None, out) and decrypt_into on
// memory of ours: `out` gets n + 16 and n bytes. False with an exception set
// (decrypt: the kernel's InvalidTag when the value does not verify; `out`
// may then hold unverified bytes, which the caller wipes).
bool kernel_encrypt(State& st, PyObject* kernel, const unsigned char* nonce, const unsigned char* data, Py_ssize_t n,
                    unsigned char* out);
bool kernel_decrypt(State& st, PyObject* kernel, const unsigned char* nonce, const unsigned char* data, Py_ssize_t n,
                    unsigned char* out);

// Is cryptography to be imported here? Only in the main interpreter: its
// binding takes the first interpreter that imports it and refuses every
// other, so a sub-interpreter that imported it first would take it away from
// the main one.
inline bool may_import_cryptography() { return PyInterpreterState_Get() == PyInterpreterState_Main(); }

// Raises the authentication failure of a value that does not verify;
// always NULL.
PyObject* raise_invalid_tag(State& st);

// The key at `path` (a pathlib.Path): the file's bytes as they are, or, when
// there is no file, a new 32-byte key written there with mode 0600.
PyObject* load_or_create_key(PyObject* path);

}  // namespace zk::crypto
