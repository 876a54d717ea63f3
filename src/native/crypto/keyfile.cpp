// The key file: read as it is when present, otherwise created atomically.
//
// A new key is written to a temporary file in the same directory, created
// exclusively with mode 0600 whatever the umask, synced, and then hard-linked
// to the key path. link() never replaces an existing name, so when several
// processes create the key at once exactly one key lands and every process
// ends up using that one; nobody ever sees a partly written key file or one
// readable by others.
#include <openssl/crypto.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "crypto.hpp"

namespace zk::crypto {

namespace {

// A file descriptor closed on every way out.
class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    bool ok() const noexcept { return fd_ >= 0; }
    // Closes now, reporting the error (a deferred write error shows here).
    int close() noexcept {
        int r = ::close(fd_);
        fd_ = -1;
        return r;
    }

private:
    int fd_;
};

// The interpreter's OSError subclass for errno `err`, naming `filename`.
PyObject* os_error(int err, PyObject* filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    return nullptr;
}

// A system call interrupted by a signal is retried, unless a Python signal
// handler raised.
bool interrupted() { return errno == EINTR && PyErr_CheckSignals() == 0; }

// The whole of an open file as bytes; a directory is refused as open() does.
PyObject* read_all(int fd, PyObject* filename) {
    struct stat st;
    if (fstat(fd, &st) != 0) return os_error(errno, filename);
    if (S_ISDIR(st.st_mode)) return os_error(EISDIR, filename);
    // The size is a hint only (the file may change under us); read to EOF.
    size_t cap = (S_ISREG(st.st_mode) && st.st_size > 0) ? static_cast<size_t>(st.st_size) + 1 : 64;
    std::string buf;  // key material: wiped before it is freed
    auto wipe = [&buf] { OPENSSL_cleanse(buf.data(), buf.size()); };
    buf.resize(cap);
    size_t len = 0;
    for (;;) {
        if (len == buf.size()) {
            std::string bigger;
            bigger.resize(buf.size() * 2);
            std::memcpy(bigger.data(), buf.data(), len);
            wipe();
            buf.swap(bigger);
        }
        ssize_t got = ::read(fd, buf.data() + len, buf.size() - len);
        if (got < 0) {
            int err = errno;
            if (interrupted()) continue;
            wipe();
            if (PyErr_Occurred()) return nullptr;
            return os_error(err, filename);
        }
        if (got == 0) break;
        len += static_cast<size_t>(got);
    }
    PyObject* key = PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(len));
    wipe();
    return key;
}

bool write_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t put = ::write(fd, p, n);
        if (put < 0) {
            if (interrupted()) continue;
            return false;
        }
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// Makes the new directory entry durable: 0, or the errno of the failure.
// Filesystems that cannot sync a directory say EINVAL; that is no failure.
int sync_directory(const std::string& dir) {
    int fd;
    do fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    Fd d(fd);
    if (fsync(d.get()) != 0 && errno != EINVAL) return errno;
    return 0;
}

enum class Made { key, exists, failed };

// Writes a new key to a temporary file and links it to `path`. `exists`
// when another key file got there first (ours is dropped); `failed` with
// an exception set otherwise.
Made create_key(const std::string& path, PyObject* filename, PyObject*& key_out) {
    const std::string dir = directory_of(path);
    unsigned char key[kNewKeyBytes];
    if (!os_random(key, sizeof key)) return Made::failed;
    struct Wipe {
        unsigned char* p;
        size_t n;
        ~Wipe() { OPENSSL_cleanse(p, n); }
    } wipe_key{key, sizeof key};

    // A fresh hidden name in the same directory (hard links stay within one
    // filesystem); O_EXCL makes it ours alone.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        unsigned char salt[8];
        if (!os_random(salt, sizeof salt)) return Made::failed;
        static const char hex[] = "0123456789abcdef";
        tmp = dir + "/.key-";
        for (unsigned char b : salt) {
            tmp += hex[b >> 4];
            tmp += hex[b & 15];
        }
        tmp += ".tmp";
        fd = ::open(tmp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (fd < 0) {
            int err = errno;
            if (interrupted() || (err == EEXIST && attempt < 8)) continue;
            if (PyErr_Occurred()) return Made::failed;
            os_error(err, filename);
            return Made::failed;
        }
    }
    Fd file(fd);
    // From here every failure removes the temporary name again.
    auto fail = [&](int err) {
        file.close();
        ::unlink(tmp.c_str());
        if (!PyErr_Occurred()) os_error(err, filename);
        return Made::failed;
    };
    // The creation mode is filtered by the umask; set 0600 outright.
    if (fchmod(file.get(), S_IRUSR | S_IWUSR) != 0) return fail(errno);
    if (!write_all(file.get(), key, sizeof key)) return fail(errno);
    if (fsync(file.get()) != 0) return fail(errno);
    if (file.close() != 0) return fail(errno);

    int linked = ::link(tmp.c_str(), path.c_str());
    int link_err = errno;
    // The key path (if linked) holds the key now; the temporary name goes
    // either way. Should removing it fail, it is a 0600 copy of the key and
    // nothing to fail the caller for.
    ::unlink(tmp.c_str());
    if (linked != 0) {
        if (link_err == EEXIST) return Made::exists;
        os_error(link_err, filename);
        return Made::failed;
    }
    if (int err = sync_directory(dir); err != 0) {
        os_error(err, filename);
        return Made::failed;
    }
    key_out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key), sizeof key);
    return key_out ? Made::key : Made::failed;
}

}  // namespace

PyObject* load_or_create_key(PyObject* path) {
    // The file system's own form of the path, as os.fspath() and open() make it.
    Ref filename = Ref::steal(PyOS_FSPath(path));
    if (!filename) return nullptr;
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(filename.get()));
    if (!encoded) return nullptr;
    const char* raw = PyBytes_AS_STRING(encoded.get());
    const Py_ssize_t raw_len = PyBytes_GET_SIZE(encoded.get());
    if (static_cast<Py_ssize_t>(std::strlen(raw)) != raw_len) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return nullptr;
    }
    const std::string p(raw, static_cast<size_t>(raw_len));

    // An existing key file is used as it is, whatever its mode or length. If
    // the name exists but leads nowhere (a dangling symbolic link, or a file
    // removed between our steps), a few more tries; then its error stands.
    int err = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            Fd file(fd);
            return read_all(file.get(), filename.get());
        }
        err = errno;
        if (err == EINTR) {
            if (PyErr_CheckSignals() < 0) return nullptr;
            --attempt;
            continue;
        }
        if (err != ENOENT) return os_error(err, filename.get());
        PyObject* key = nullptr;
        switch (create_key(p, filename.get(), key)) {
            case Made::key: return key;
            case Made::failed: return nullptr;
            case Made::exists: break;  // read the one that is there
        }
    }
    return os_error(err, filename.get());
}

}  // namespace zk::crypto
