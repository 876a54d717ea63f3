// AES-GCM on OpenSSL, in the stored credential format: [12-byte nonce]
// [ciphertext][16-byte tag], no associated data.
#include "crypto.hpp"

#include <openssl/crypto.h>
#include <openssl/err.h>
#if ZK_GCM_PROVIDER
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <strings.h>
#endif

#include <sys/random.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace zk::crypto {

namespace {

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

#if ZK_GCM_PROVIDER
const char* aes_gcm(size_t key_len) {
    switch (key_len) {
        case 16: return "AES-128-GCM";
        case 24: return "AES-192-GCM";
        case 32: return "AES-256-GCM";
        default: return nullptr;
    }
}

// Whether a provider's names of one algorithm (colon-separated, matched
// without regard to case) hold `name`.
bool names_hold(const char* names, const char* name) {
    const size_t n = std::strlen(name);
    for (const char* p = names;;) {
        const char* end = std::strchr(p, ':');
        const size_t len = end ? size_t(end - p) : std::strlen(p);
        if (len == n && strncasecmp(p, name, n) == 0) return true;
        if (!end) return false;
        p = end + 1;
    }
}

// The functions of the provider that `fetched` came from for the algorithm
// `name`; false when it does not offer them all.
bool provider_steps(EVP_CIPHER* fetched, const char* name, Cipher::Steps& f) {
    OSSL_PROVIDER* prov = const_cast<OSSL_PROVIDER*>(EVP_CIPHER_get0_provider(fetched));
    int no_store = 0;
    const OSSL_ALGORITHM* algs = OSSL_PROVIDER_query_operation(prov, OSSL_OP_CIPHER, &no_store);
    for (const OSSL_ALGORITHM* a = algs; a && a->algorithm_names; ++a) {
        if (!names_hold(a->algorithm_names, name)) continue;
        for (const OSSL_DISPATCH* d = a->implementation; d->function_id != 0; ++d) {
            switch (d->function_id) {
                case OSSL_FUNC_CIPHER_NEWCTX: f.newctx = OSSL_FUNC_cipher_newctx(d); break;
                case OSSL_FUNC_CIPHER_FREECTX: f.freectx = OSSL_FUNC_cipher_freectx(d); break;
                case OSSL_FUNC_CIPHER_ENCRYPT_INIT: f.encrypt_init = OSSL_FUNC_cipher_encrypt_init(d); break;
                case OSSL_FUNC_CIPHER_DECRYPT_INIT: f.decrypt_init = OSSL_FUNC_cipher_decrypt_init(d); break;
                case OSSL_FUNC_CIPHER_UPDATE: f.update = OSSL_FUNC_cipher_update(d); break;
                case OSSL_FUNC_CIPHER_FINAL: f.final = OSSL_FUNC_cipher_final(d); break;
                case OSSL_FUNC_CIPHER_GET_CTX_PARAMS: f.get_ctx_params = OSSL_FUNC_cipher_get_ctx_params(d); break;
                case OSSL_FUNC_CIPHER_SET_CTX_PARAMS: f.set_ctx_params = OSSL_FUNC_cipher_set_ctx_params(d); break;
                default: break;
            }
        }
        break;
    }
    if (algs) OSSL_PROVIDER_unquery_operation(prov, OSSL_OP_CIPHER, algs);
    return f.newctx && f.freectx && f.encrypt_init && f.decrypt_init && f.update && f.final && f.get_ctx_params &&
           f.set_ctx_params;
}

// The tag as a parameter of the provider's context.
OSSL_PARAM* tag_param(OSSL_PARAM (&p)[2], unsigned char* tag) {
    p[0] = OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, kTagBytes);
    p[1] = OSSL_PARAM_construct_end();
    return p;
}

// One encryption on the keyed context (the caller holds its lock): 0 when
// done, 1 when it failed before the body was ciphertext, 2 after.
int seal(Cipher& c, const unsigned char* nonce, const unsigned char* plain, Py_ssize_t n, unsigned char* body,
         unsigned char* tag) {
    unsigned char scratch[EVP_MAX_BLOCK_LENGTH];  // GCM's final step writes no bytes: it completes the tag
    size_t written = 0;
    if (c.f.encrypt_init(c.enc, nullptr, 0, nonce, kNonceBytes, nullptr) != 1 ||
        (n > 0 && (c.f.update(c.enc, body, &written, size_t(n), plain, size_t(n)) != 1 || written != size_t(n))))
        return 1;
    OSSL_PARAM p[2];
    if (c.f.final(c.enc, scratch, &written, sizeof scratch) != 1 || c.f.get_ctx_params(c.enc, tag_param(p, tag)) != 1)
        return 2;
    return 0;
}

// One decryption on the keyed context (the caller holds its lock): 0 when the
// tag verifies, 1 when OpenSSL failed, 2 when the tag does not verify.
int unseal(Cipher& c, const unsigned char* nonce, const unsigned char* body, Py_ssize_t n, const unsigned char* tag,
         unsigned char* plain) {
    unsigned char scratch[EVP_MAX_BLOCK_LENGTH];  // GCM's final step writes no bytes: it checks the tag
    size_t written = 0;
    OSSL_PARAM p[2];
    if (c.f.decrypt_init(c.dec, nullptr, 0, nonce, kNonceBytes, nullptr) != 1 ||
        c.f.set_ctx_params(c.dec, tag_param(p, const_cast<unsigned char*>(tag))) != 1 ||
        (n > 0 && (c.f.update(c.dec, plain, &written, size_t(n), body, size_t(n)) != 1 || written != size_t(n))))
        return 1;
    return c.f.final(c.dec, scratch, &written, sizeof scratch) == 1 ? 0 : 2;
}
#else
const EVP_CIPHER* aes_gcm(size_t key_len) {
    switch (key_len) {
        case 16: return EVP_aes_128_gcm();
        case 24: return EVP_aes_192_gcm();
        case 32: return EVP_aes_256_gcm();
        default: return nullptr;
    }
}
#endif

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

#if !ZK_GCM_PROVIDER
// EVP_*Update take an int length; larger texts go through in pieces.
constexpr Py_ssize_t kChunk = Py_ssize_t{1} << 30;

// One EVP update over `n` bytes, in pieces that an int can count. False on
// failure, with OpenSSL's error queue left for openssl_error (which the
// caller raises once the context's lock is let go).
template <auto Update>
bool update_in_pieces(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, Py_ssize_t n) {
    while (n > 0) {
        int piece = static_cast<int>(n < kChunk ? n : kChunk);
        int written = 0;
        if (Update(ctx, out, &written, in, piece) != 1 || written != piece) return false;
        out += piece;
        in += piece;
        n -= piece;
    }
    return true;
}

bool encrypt_update(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, Py_ssize_t n) {
    return update_in_pieces<EVP_EncryptUpdate>(ctx, out, in, n);
}

bool decrypt_update(EVP_CIPHER_CTX* ctx, unsigned char* out, const unsigned char* in, Py_ssize_t n) {
    return update_in_pieces<EVP_DecryptUpdate>(ctx, out, in, n);
}

int seal(Cipher& c, const unsigned char* nonce, const unsigned char* plain, Py_ssize_t n, unsigned char* body,
         unsigned char* tag) {
    unsigned char scratch[EVP_MAX_BLOCK_LENGTH];  // GCM's final step writes no bytes: it completes the tag
    int tail = 0;
    if (EVP_EncryptInit_ex(c.enc, nullptr, nullptr, nullptr, nonce) != 1 || !encrypt_update(c.enc, body, plain, n))
        return 1;
    if (EVP_EncryptFinal_ex(c.enc, scratch, &tail) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.enc, EVP_CTRL_GCM_GET_TAG, kTagBytes, tag) != 1)
        return 2;
    return 0;
}

int unseal(Cipher& c, const unsigned char* nonce, const unsigned char* body, Py_ssize_t n, const unsigned char* tag,
         unsigned char* plain) {
    unsigned char scratch[EVP_MAX_BLOCK_LENGTH];  // GCM's final step writes no bytes: it checks the tag
    int tail = 0;
    if (EVP_DecryptInit_ex(c.dec, nullptr, nullptr, nullptr, nonce) != 1 ||
        EVP_CIPHER_CTX_ctrl(c.dec, EVP_CTRL_GCM_SET_TAG, kTagBytes, const_cast<unsigned char*>(tag)) != 1 ||
        !decrypt_update(c.dec, plain, body, n))
        return 1;
    return EVP_DecryptFinal_ex(c.dec, scratch, &tail) == 1 ? 0 : 2;
}
#endif

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

bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

// The UTF-8 length of s[0, len), or -1 with `bad` at its first surrogate
// (which UTF-8 cannot encode).
template <typename Char>
Py_ssize_t utf8_length(const Char* s, Py_ssize_t len, Py_ssize_t& bad) {
    Py_ssize_t n = len;
    for (Py_ssize_t i = 0; i < len; ++i) {
        const Py_UCS4 c = s[i];
        if (c < 0x80) continue;
        if (c < 0x800) {
            n += 1;
        } else if (c < 0x10000) {
            if (is_surrogate(c)) {
                bad = i;
                return -1;
            }
            n += 2;
        } else {
            n += 3;
        }
    }
    return n;
}

template <typename Char>
void utf8_encode(const Char* s, Py_ssize_t len, unsigned char* out) {
    for (Py_ssize_t i = 0; i < len; ++i) {
        const Py_UCS4 c = s[i];
        if (c < 0x80) {
            *out++ = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            *out++ = static_cast<unsigned char>(0xC0 | (c >> 6));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *out++ = static_cast<unsigned char>(0xE0 | (c >> 12));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            *out++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *out++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
}

// The error the interpreter's strict UTF-8 encoder raises: it covers the
// whole run of surrogates that starts at `start`.
void surrogate_error(PyObject* text, Py_ssize_t start) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    Py_ssize_t end = start + 1;
    while (end < len && is_surrogate(PyUnicode_READ(kind, data, end))) ++end;
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_UnicodeEncodeError, "sOnns", "utf-8", text, start, end,
                                               "surrogates not allowed"));
    if (exc) PyErr_SetObject(PyExc_UnicodeEncodeError, exc.get());
}

// Well-formed UTF-8 (the sequences the interpreter's strict decoder takes):
// the number of characters and the largest one, or false.
bool utf8_scan(const unsigned char* p, size_t n, Py_ssize_t& count, Py_UCS4& maxchar) {
    auto cont = [](unsigned char b) { return (b & 0xC0) == 0x80; };
    count = 0;
    maxchar = 0;
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        Py_UCS4 c;
        if (b < 0x80) {
            c = b;
            i += 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            if (i + 1 >= n || !cont(p[i + 1])) return false;
            c = static_cast<Py_UCS4>(b & 0x1F) << 6 | (p[i + 1] & 0x3F);
            i += 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            if (i + 2 >= n || !cont(p[i + 1]) || !cont(p[i + 2])) return false;
            // No overlong forms (E0 80..9F) and no surrogates (ED A0..BF).
            if ((b == 0xE0 && p[i + 1] < 0xA0) || (b == 0xED && p[i + 1] > 0x9F)) return false;
            c = static_cast<Py_UCS4>(b & 0x0F) << 12 | static_cast<Py_UCS4>(p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F);
            i += 3;
        } else if (b >= 0xF0 && b <= 0xF4) {
            if (i + 3 >= n || !cont(p[i + 1]) || !cont(p[i + 2]) || !cont(p[i + 3])) return false;
            // No overlong forms (F0 80..8F) and nothing above U+10FFFF (F4 90..).
            if ((b == 0xF0 && p[i + 1] < 0x90) || (b == 0xF4 && p[i + 1] > 0x8F)) return false;
            c = static_cast<Py_UCS4>(b & 0x07) << 18 | static_cast<Py_UCS4>(p[i + 1] & 0x3F) << 12 |
                static_cast<Py_UCS4>(p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F);
            i += 4;
        } else {
            return false;
        }
        if (c > maxchar) maxchar = c;
        ++count;
    }
    return true;
}

// Decodes UTF-8 that utf8_scan() accepted.
template <typename Char>
void utf8_decode(const unsigned char* p, size_t n, Char* out) {
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i];
        Py_UCS4 c;
        if (b < 0x80) {
            c = b;
            i += 1;
        } else if (b < 0xE0) {
            c = static_cast<Py_UCS4>(b & 0x1F) << 6 | (p[i + 1] & 0x3F);
            i += 2;
        } else if (b < 0xF0) {
            c = static_cast<Py_UCS4>(b & 0x0F) << 12 | static_cast<Py_UCS4>(p[i + 1] & 0x3F) << 6 | (p[i + 2] & 0x3F);
            i += 3;
        } else {
            c = static_cast<Py_UCS4>(b & 0x07) << 18 | static_cast<Py_UCS4>(p[i + 1] & 0x3F) << 12 |
                static_cast<Py_UCS4>(p[i + 2] & 0x3F) << 6 | (p[i + 3] & 0x3F);
            i += 4;
        }
        *out++ = static_cast<Char>(c);
    }
}

// The str of UTF-8 plaintext, made at its final size and kind straight from
// the bytes, so that no intermediate buffer of the text is left behind.
// Ill-formed bytes get the interpreter's own decoder and its error.
PyObject* decode_plaintext(const unsigned char* p, size_t n) {
    Py_ssize_t count;
    Py_UCS4 maxchar;
    if (!utf8_scan(p, n, count, maxchar))
        return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n), "strict");
    PyObject* text = PyUnicode_New(count, maxchar);
    if (text == nullptr) return nullptr;
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND: utf8_decode(p, n, PyUnicode_1BYTE_DATA(text)); break;
        case PyUnicode_2BYTE_KIND: utf8_decode(p, n, PyUnicode_2BYTE_DATA(text)); break;
        default: utf8_decode(p, n, PyUnicode_4BYTE_DATA(text)); break;
    }
    return text;
}

// The str of verified plaintext decrypted into `text` (an ASCII str made
// for it, `plain` its data): itself when the bytes are ASCII, else their
// strict UTF-8 decoding (UnicodeDecodeError when invalid), the bytes wiped.
PyObject* verified(Ref& text, unsigned char* plain, Py_ssize_t n) {
    if (is_ascii(plain, static_cast<size_t>(n))) return text.release();
    PyObject* decoded = decode_plaintext(plain, static_cast<size_t>(n));
    OPENSSL_cleanse(plain, static_cast<size_t>(n));
    return decoded;
}

// glibc adapts its heap to the program: each time a chunk it had mapped is
// freed, it raises its mmap threshold to that chunk's size and its trim
// threshold to twice that. The round trip of a large value holds two chunks
// of its size at the top of the heap (the encrypted value and the text);
// freed, they reach just that trim threshold, so every call handed the
// memory back to the system and faulted it in again (480 minor page faults
// per round trip of 1 MiB). Mapping and freeing once a chunk four times the
// size of the largest value seen so far raises both thresholds, as any larger
// allocation of the program would. Where the program has fixed glibc's
// settings (MALLOC_* variables, mallopt), glibc ignores this.
void make_room_on_heap(Py_ssize_t n) {
#if defined(__GLIBC__)
    constexpr size_t kFrom = 64 * 1024;                  // below, two chunks stay under the default thresholds
    constexpr size_t kHighest = 4 * 1024 * 1024 * sizeof(long);  // glibc's highest adaptive mmap threshold
    static std::atomic<size_t> made{0};
    const size_t size = std::min(size_t(n) * 4, kHighest);
    if (size_t(n) < kFrom || size <= made.load(std::memory_order_relaxed)) return;
    // Called through a volatile pointer, so that the pair is not elided.
    void* (*volatile allocate)(size_t) = std::malloc;
    std::free(allocate(size));
    made.store(size, std::memory_order_relaxed);
#else
    (void)n;
#endif
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

#if ZK_GCM_PROVIDER
bool Cipher::init(const unsigned char* key, size_t len) {
    const char* name = aes_gcm(len);
    if (name == nullptr) return true;  // every call reports the key length
    fetched = EVP_CIPHER_fetch(nullptr, name, nullptr);
    if (fetched == nullptr) return openssl_error("key setup");
    if (!provider_steps(fetched, name, f)) {
        reset();
        PyErr_Format(PyExc_RuntimeError, "OpenSSL key setup failed: no provider of %s offers its cipher functions",
                     name);
        return false;
    }
    void* provctx = OSSL_PROVIDER_get0_provider_ctx(EVP_CIPHER_get0_provider(fetched));
    enc = f.newctx(provctx);
    dec = f.newctx(provctx);
    // The default IV length of GCM is the 12 bytes of our nonce.
    if (enc == nullptr || dec == nullptr || f.encrypt_init(enc, key, len, nullptr, 0, nullptr) != 1 ||
        f.decrypt_init(dec, key, len, nullptr, 0, nullptr) != 1) {
        reset();
        return openssl_error("key setup");
    }
    return true;
}

void Cipher::reset() noexcept {
    // The provider wipes the key schedule a context holds as it frees it.
    if (enc) f.freectx(enc);
    if (dec) f.freectx(dec);
    enc = dec = nullptr;
    EVP_CIPHER_free(fetched);
    fetched = nullptr;
    Py_CLEAR(kernel);
}
#else
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
    Py_CLEAR(kernel);
}
#endif

PyObject* encrypt(State& st, Keyed& k, PyObject* text) {
    Cipher& c = k.cipher;
    if (!c.ready()) {
        key_length_error();
        return nullptr;
    }
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return nullptr;
#endif
    const bool ascii = PyUnicode_IS_COMPACT_ASCII(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    // ASCII text is its own UTF-8. Other text is encoded here, straight into
    // the result, and encrypted there in place: the interpreter's UTF-8 form
    // would stay attached to the caller's str, an unwiped copy of the secret.
    Py_ssize_t n = len;
    if (!ascii) {
        Py_ssize_t bad = 0;
        switch (kind) {
            case PyUnicode_1BYTE_KIND: n = utf8_length(static_cast<const Py_UCS1*>(data), len, bad); break;
            case PyUnicode_2BYTE_KIND: n = utf8_length(static_cast<const Py_UCS2*>(data), len, bad); break;
            default: n = utf8_length(static_cast<const Py_UCS4*>(data), len, bad); break;
        }
        if (n < 0) {
            surrogate_error(text, bad);
            return nullptr;
        }
    }
    if (n > PY_SSIZE_T_MAX - kOverhead) return PyErr_NoMemory();
    make_room_on_heap(n);
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, n + kOverhead));
    if (!out) return nullptr;
    auto* p = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out.get()));
    unsigned char* nonce = p;
    unsigned char* body = p + kNonceBytes;
    unsigned char* tag = body + n;
    // The nonce first, outside the cipher's lock: getting it may wait
    // without the GIL.
    if (!new_nonce(nonce)) return nullptr;
    if (PyObject* kernel = kernel_for(k, n)) {
        // The kernel reads and writes separate memory: other text is encoded
        // into a buffer of its own, wiped once it is ciphertext.
        if (ascii) return kernel_encrypt(st, kernel, nonce, static_cast<const unsigned char*>(data), n, body)
                              ? out.release()
                              : nullptr;
        auto* plain = static_cast<unsigned char*>(PyMem_Malloc(size_t(n)));
        if (!plain) return PyErr_NoMemory();
        switch (kind) {
            case PyUnicode_1BYTE_KIND: utf8_encode(static_cast<const Py_UCS1*>(data), len, plain); break;
            case PyUnicode_2BYTE_KIND: utf8_encode(static_cast<const Py_UCS2*>(data), len, plain); break;
            default: utf8_encode(static_cast<const Py_UCS4*>(data), len, plain); break;
        }
        const bool done = kernel_encrypt(st, kernel, nonce, plain, n, body);
        OPENSSL_cleanse(plain, size_t(n));
        PyMem_Free(plain);
        return done ? out.release() : nullptr;
    }
    const unsigned char* plain = static_cast<const unsigned char*>(data);
    if (!ascii) {
        switch (kind) {
            case PyUnicode_1BYTE_KIND: utf8_encode(static_cast<const Py_UCS1*>(data), len, body); break;
            case PyUnicode_2BYTE_KIND: utf8_encode(static_cast<const Py_UCS2*>(data), len, body); break;
            default: utf8_encode(static_cast<const Py_UCS4*>(data), len, body); break;
        }
        plain = body;
    }
    // Until the body is ciphertext, a failure wipes the plaintext from it.
    auto fail = [&] {
        if (!ascii) OPENSSL_cleanse(body, static_cast<size_t>(n));
        return nullptr;
    };
    // One sequence on the shared context, under its lock (no Python code
    // runs inside; the errors are raised after it).
    int failed;  // 0: none; 1: before the body was ciphertext; 2: after
    {
        Locked held(k.lock);
        failed = seal(c, nonce, plain, n, body, tag);
    }
    if (failed) {
        openssl_error("encryption");
        return failed == 1 ? fail() : nullptr;
    }
    return out.release();
}

PyObject* decrypt(State& st, Keyed& k, PyObject* value) {
    Cipher& c = k.cipher;
    if (!c.ready()) {
        key_length_error();
        return nullptr;
    }
    const Py_ssize_t total = PyBytes_GET_SIZE(value);
    if (total < kOverhead) {
        // Too short to hold a nonce and a tag: it cannot verify.
        raise_invalid_tag(st);
        return nullptr;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value));
    const Py_ssize_t n = total - kOverhead;
    const unsigned char* nonce = p;
    const unsigned char* body = p + kNonceBytes;
    const unsigned char* tag = body + n;

    // Credentials are nearly always ASCII: decrypt straight into an ASCII str
    // and keep it once the tag verifies and the bytes prove ASCII. Nothing
    // sees this object before then.
    make_room_on_heap(n);
    Ref text = Ref::steal(PyUnicode_New(n, 127));
    if (!text) return nullptr;
    auto* plain = static_cast<unsigned char*>(PyUnicode_DATA(text.get()));

    if (PyObject* kernel = kernel_for(k, n)) {
        // It writes the plaintext before it checks the tag: a value that
        // does not verify leaves none of it behind.
        if (!kernel_decrypt(st, kernel, nonce, body, n, plain)) {
            OPENSSL_cleanse(plain, static_cast<size_t>(n));
            return nullptr;
        }
        return verified(text, plain, n);
    }
    // One sequence on the shared context, under its lock.
    enum { ok, broken, unverified } outcome;
    {
        Locked held(k.lock);
        outcome = decltype(outcome)(unseal(c, nonce, body, n, tag, plain));
    }
    if (outcome != ok) {
        // No byte of the unverified plaintext stays behind.
        OPENSSL_cleanse(plain, static_cast<size_t>(n));
        if (outcome == broken) {
            openssl_error("decryption");
            return nullptr;
        }
        // Wrong key or altered bytes: the error queue is left empty.
        ERR_clear_error();
        raise_invalid_tag(st);
        return nullptr;
    }
    return verified(text, plain, n);
}

}  // namespace zk::crypto
