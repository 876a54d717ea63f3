// AES-GCM on OpenSSL's EVP interface, in the stored credential format:
// [12-byte nonce][ciphertext][16-byte tag], no associated data.
#include <openssl/crypto.h>
#include <openssl/err.h>

#include <sys/random.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include "crypto.hpp"

namespace zk::crypto {

namespace {

// EVP_*Update take an int length; larger texts go through in pieces.
constexpr Py_ssize_t kChunk = Py_ssize_t{1} << 30;

// An OpenSSL failure that no input can cause (allocation, a broken library).
bool openssl_error(const char* what) {
    unsigned long code = ERR_get_error();
    char detail[256] = "unknown error";
    if (code != 0) ERR_error_string_n(code, detail, sizeof detail);
    ERR_clear_error();
    PyErr_Format(PyExc_RuntimeError, "OpenSSL %s failed: %s", what, detail);
    return false;
}

bool key_length_error() {
    PyErr_SetString(PyExc_ValueError, "AESGCM key must be 128, 192, or 256 bits.");
    return false;
}

const EVP_CIPHER* aes_gcm(size_t key_len) {
    switch (key_len) {
        case 16: return EVP_aes_128_gcm();
        case 24: return EVP_aes_192_gcm();
        case 32: return EVP_aes_256_gcm();
        default: return nullptr;
    }
}

// True when none of the n bytes has its high bit set.
bool is_ascii(const unsigned char* p, size_t n) {
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    size_t i = 0;
    // Blocks of 64 bytes folded into one word, so the loop vectorises and
    // non-ASCII text still stops early.
    for (; i + 64 <= n; i += 64) {
        uint64_t acc = 0;
        for (size_t k = 0; k < 64; k += 8) {
            uint64_t w;
            std::memcpy(&w, p + i + k, 8);
            acc |= w;
        }
        if (acc & kHigh) return false;
    }
    uint64_t acc = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    for (; i < n; ++i) acc |= p[i];
    return (acc & kHigh) == 0;
}

bool encrypt_update(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, Py_ssize_t n) {
    while (n > 0) {
        int piece = static_cast<int>(n < kChunk ? n : kChunk);
        int written = 0;
        if (EVP_EncryptUpdate(ctx, out, &written, in, piece) != 1 || written != piece)
            return openssl_error("encryption");
        out += piece;
        in += piece;
        n -= piece;
    }
    return true;
}

bool decrypt_update(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, Py_ssize_t n) {
    while (n > 0) {
        int piece = static_cast<int>(n < kChunk ? n : kChunk);
        int written = 0;
        if (EVP_DecryptUpdate(ctx, out, &written, in, piece) != 1 || written != piece)
            return openssl_error("decryption");
        out += piece;
        in += piece;
        n -= piece;
    }
    return true;
}

// The nonce of an encrypt(). Once the kernel's pool is ready, getrandom() of
// 12 bytes never blocks, and releasing the GIL would cost measurably on a
// call of about a microsecond: so the call is made non-blocking with the GIL
// held, and only while the pool is not ready yet (EAGAIN, early in boot) does
// it wait without the GIL, as os.urandom does.
bool new_nonce(unsigned char* nonce) {
    ssize_t got = getrandom(nonce, kNonceBytes, GRND_NONBLOCK);
    if (got == kNonceBytes) return true;
    if (got < 0 && errno != EAGAIN && errno != EINTR) {
        PyErr_SetFromErrno(PyExc_OSError);
        return false;
    }
    const size_t done = got > 0 ? static_cast<size_t>(got) : 0;
    return os_random(nonce + done, kNonceBytes - done);
}

}  // namespace

bool os_random(unsigned char* buf, size_t n) {
    while (n > 0) {
        // A signal handler that raises ends the wait, as os.urandom does.
        ssize_t got = blocking([&] { return getrandom(buf, n, 0); });
        if (got < 0) {
            if (!PyErr_Occurred()) PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        buf += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool Cipher::init(const unsigned char* key, size_t len) {
    const EVP_CIPHER* cipher = aes_gcm(len);
    if (cipher == nullptr) return true;  // every call reports the key length
    enc = EVP_CIPHER_CTX_new();
    dec = EVP_CIPHER_CTX_new();
    if (enc == nullptr || dec == nullptr) {
        reset();
        PyErr_NoMemory();
        return false;
    }
    // The default IV length of GCM is the 12 bytes of our nonce.
    if (EVP_EncryptInit_ex(enc, cipher, nullptr, key, nullptr) != 1 ||
        EVP_DecryptInit_ex(dec, cipher, nullptr, key, nullptr) != 1) {
        reset();
        return openssl_error("key setup");
    }
    return true;
}

void Cipher::reset() noexcept {
    EVP_CIPHER_CTX_free(enc);
    EVP_CIPHER_CTX_free(dec);
    enc = dec = nullptr;
}

PyObject* encrypt(Cipher& c, PyObject* text) {
    if (!c.ready()) {
        key_length_error();
        return nullptr;
    }
    const char* data;
    Py_ssize_t n;
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        // ASCII text is its own UTF-8.
        data = static_cast<const char*>(PyUnicode_DATA(text));
        n = PyUnicode_GET_LENGTH(text);
    } else {
        // Strict: lone surrogates raise UnicodeEncodeError.
        data = PyUnicode_AsUTF8AndSize(text, &n);
        if (data == nullptr) return nullptr;
    }
    if (n > PY_SSIZE_T_MAX - kOverhead) return PyErr_NoMemory();
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, n + kOverhead));
    if (!out) return nullptr;
    auto* p = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get()));
    unsigned char* nonce = p;
    unsigned char* body = p + kNonceBytes;
    unsigned char* tag = body + n;
    // The nonce first: getting it may release the GIL, and the cipher
    // context, shared by every thread that uses this object, is only touched
    // with the GIL held.
    if (!new_nonce(nonce)) return nullptr;
    if (EVP_EncryptInit_ex(c.enc, nullptr, nullptr, nullptr, nonce) != 1) {
        openssl_error("encryption");
        return nullptr;
    }
    if (!encrypt_update(c.enc, body, reinterpret_cast<const unsigned char*>(data), n)) return nullptr;
    // GCM's final step writes no bytes; it completes the tag.
    unsigned char scratch[EVP_MAX_BLOCK_LENGTH];
    int tail = 0;
    if (EVP_EncryptFinal_ex(c.enc, scratch, &tail) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.enc, EVP_CTRL_GCM_GET_TAG, kTagBytes, tag) != 1) {
        openssl_error("encryption");
        return nullptr;
    }
    return out.release();
}

PyObject* decrypt(Cipher& c, PyObject* value, PyObject* invalid_tag) {
    if (!c.ready()) {
        key_length_error();
        return nullptr;
    }
    const Py_ssize_t total = PyBytes_GET_SIZE(value);
    if (total < kOverhead) {
        // Too short to hold a nonce and a tag: it cannot verify.
        PyErr_SetNone(invalid_tag);
        return nullptr;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value));
    const Py_ssize_t n = total - kOverhead;
    const unsigned char* nonce = p;
    const unsigned char* body = p + kNonceBytes;
    unsigned char tag[kTagBytes];
    std::memcpy(tag, body + n, kTagBytes);

    // Credentials are nearly always ASCII: decrypt straight into an ASCII str
    // and keep it once the tag verifies and the bytes prove ASCII. Nothing
    // sees this object before then.
    Ref text = Ref::steal(PyUnicode_New(n, 127));
    if (!text) return nullptr;
    auto* plain = static_cast<unsigned char*>(PyUnicode_DATA(text.get()));

    if (EVP_DecryptInit_ex(c.dec, nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.dec, EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) != 1) {
        openssl_error("decryption");
        return nullptr;
    }
    if (!decrypt_update(c.dec, plain, body, n)) {
        OPENSSL_cleanse(plain, static_cast<size_t>(n));
        return nullptr;
    }
    // GCM's final step writes no bytes; it checks the tag.
    unsigned char scratch[EVP_MAX_BLOCK_LENGTH];
    int tail = 0;
    if (EVP_DecryptFinal_ex(c.dec, scratch, &tail) != 1) {
        // Wrong key or altered bytes: no byte of the unverified plaintext
        // stays behind, and the error queue is left empty.
        OPENSSL_cleanse(plain, static_cast<size_t>(n));
        ERR_clear_error();
        PyErr_SetNone(invalid_tag);
        return nullptr;
    }
    if (is_ascii(plain, static_cast<size_t>(n))) return text.release();
    // Other text: one strict UTF-8 decode (UnicodeDecodeError when invalid).
    PyObject* decoded = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(plain), n, "strict");
    OPENSSL_cleanse(plain, static_cast<size_t>(n));
    return decoded;
}

}  // namespace zk::crypto
