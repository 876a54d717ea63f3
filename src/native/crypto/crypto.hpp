// The credential cipher: module state, the Crypto object and the pieces it is
// made of (the key file, the AES-GCM contexts, the system's random source).
#pragma once

#include "common/args.hpp"
#include "common/function.hpp"
#include "common/ref.hpp"

#include <openssl/evp.h>

#include <cstddef>

namespace zk::crypto {

// Layout of an encrypted value: nonce, ciphertext (as long as the UTF-8
// text), tag.
constexpr Py_ssize_t kNonceBytes = 12;
constexpr Py_ssize_t kTagBytes = 16;
constexpr Py_ssize_t kOverhead = kNonceBytes + kTagBytes;
// A key this module generates: AES-256.
constexpr size_t kNewKeyBytes = 32;

struct State {
    Functions functions;
    PyObject* invalid_tag = nullptr;  // cryptography.exceptions.InvalidTag
    PyObject* path_type = nullptr;    // pathlib.Path
    PyObject* crypto_type = nullptr;  // the Crypto class
};

// Two AES-GCM contexts keyed once; each call only sets its nonce. A key of a
// length AES does not take leaves both empty, and every call then fails.
struct Cipher {
    EVP_CIPHER_CTX* enc = nullptr;
    EVP_CIPHER_CTX* dec = nullptr;

    bool ready() const noexcept { return enc != nullptr; }
    // False with an exception set when OpenSSL fails to set up.
    bool init(const unsigned char* key, size_t len);
    // Frees the contexts; OpenSSL wipes the key schedule they hold.
    void reset() noexcept;
};

// Fills buf from the kernel's cryptographic random source; false with an
// exception set when that fails.
bool os_random(unsigned char* buf, size_t n);

// encrypt(): exact str -> bytes in the stored format.
PyObject* encrypt(Cipher& c, PyObject* text);
// decrypt(): exact bytes -> str; InvalidTag when the value does not verify.
PyObject* decrypt(Cipher& c, PyObject* value, PyObject* invalid_tag);

// The key at `path` (a pathlib.Path): the file's bytes as they are, or, when
// there is no file, a new 32-byte key written there with mode 0600.
PyObject* load_or_create_key(PyObject* path);

}  // namespace zk::crypto
