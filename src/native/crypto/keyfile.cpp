// The key file: read as it is when present, otherwise created atomically.
//
// A new key is written to a temporary file in the same directory, created
// exclusively with mode 0600 whatever the umask, synced, and then hard-linked
// to the key path. link() never replaces an existing name, so when several
// processes create the key at once exactly one key lands and every process
// ends up using that one; nobody ever sees a partly written key file or one
// readable by others. Filesystems without hard links (vfat, exFAT, many FUSE
// and SMB mounts) get the same from renameat2(RENAME_NOREPLACE); where that is
// refused too, the key file is created under its own name (create_in_place()
// says what that still guarantees).
//
// Every system call that may block (a key path on a FIFO, a slow or network
// filesystem) runs without the GIL.
#include <openssl/crypto.h>

#include <fcntl.h>
#include <stdio.h>  // renameat2, RENAME_NOREPLACE (glibc 2.28 and newer)
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "crypto.hpp"

namespace zk::crypto {

namespace {

// A file descriptor closed on every way out.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { close(); }
    int get() const noexcept { return fd_; }
    bool ok() const noexcept { return fd_ >= 0; }
    void reset(int fd) noexcept {
        close();
        fd_ = fd;
    }
    // Closes now, reporting the error (a deferred write error shows here,
    // which is also why it may take a while on a network filesystem).
    int close() noexcept {
        const int fd = fd_;
        if (fd < 0) return 0;
        fd_ = -1;
        return without_gil([fd] { return ::close(fd); });
    }

private:
    int fd_;
};

// Bytes of key material, wiped before they are freed.
class Secret {
public:
    explicit Secret(size_t n) : p_(new unsigned char[n]), n_(n) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { OPENSSL_cleanse(p_.get(), n_); }
    unsigned char* data() noexcept { return p_.get(); }
    size_t size() const noexcept { return n_; }
    void swap(Secret& other) noexcept {
        p_.swap(other.p_);
        std::swap(n_, other.n_);
    }

private:
    std::unique_ptr<unsigned char[]> p_;
    size_t n_;
};

// The interpreter's OSError subclass for errno `err`, naming `filename`;
// when a signal handler has raised already, that exception stands.
PyObject* os_error(int err, PyObject* filename) {
    if (PyErr_Occurred()) return nullptr;
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    return nullptr;
}

int open_file(const std::string& path, int flags, mode_t mode = 0) {
    return blocking([&] { return ::open(path.c_str(), flags | O_CLOEXEC, mode); });
}

enum class Read { key, missing, failed };

// The key file open on fd, into `key`: a directory is refused as open()
// does, and so is a file longer than kMaxKeyFileBytes. `regular` says
// whether it is a regular file.
Read read_all(int fd, PyObject* filename, Ref& key, bool& regular) {
    struct stat st;
    if (blocking([&] { return fstat(fd, &st); }) != 0) {
        os_error(errno, filename);
        return Read::failed;
    }
    if (S_ISDIR(st.st_mode)) {
        os_error(EISDIR, filename);
        return Read::failed;
    }
    regular = S_ISREG(st.st_mode);
    // One byte more than the bound tells a file that is too long. The size is
    // a hint only (the file may change under us): the reads decide.
    constexpr size_t limit = kMaxKeyFileBytes + 1;
    size_t cap = 64;
    if (regular && st.st_size > 0)
        cap = static_cast<size_t>(st.st_size) < kMaxKeyFileBytes ? static_cast<size_t>(st.st_size) + 1 : limit;
    Secret buf(cap);
    size_t len = 0;
    while (len < limit) {
        if (len == buf.size()) {
            Secret bigger(buf.size() * 2 < limit ? buf.size() * 2 : limit);
            std::memcpy(bigger.data(), buf.data(), len);
            buf.swap(bigger);
        }
        unsigned char* at = buf.data() + len;
        const size_t room = buf.size() - len;
        ssize_t got = blocking([&] { return ::read(fd, at, room); });
        if (got < 0) {
            os_error(errno, filename);
            return Read::failed;
        }
        if (got == 0) break;
        len += static_cast<size_t>(got);
    }
    if (len > kMaxKeyFileBytes) {
        PyErr_Format(PyExc_ValueError, "key file %R is too long to be a key (more than %zu bytes)", filename,
                     kMaxKeyFileBytes);
        return Read::failed;
    }
    key = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf.data()),
                                               static_cast<Py_ssize_t>(len)));
    return key ? Read::key : Read::failed;
}

// The key file at `path`; `missing` (errno ENOENT, no exception) when the
// name leads to no file.
Read read_key(const std::string& path, PyObject* filename, Ref& key, bool& regular) {
    Fd file(open_file(path, O_RDONLY));
    if (!file.ok()) {
        if (errno == ENOENT && !PyErr_Occurred()) return Read::missing;
        os_error(errno, filename);
        return Read::failed;
    }
    return read_all(file.get(), filename, key, regular);
}

bool write_all(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t put = blocking([&] { return ::write(fd, p, n); });
        if (put < 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

// Fills the file just made exclusively at `path` with the key: mode 0600
// outright (the creation mode is filtered by the umask), the key written and
// synced, the file closed. A failure removes the name again and raises the
// error for `filename`.
bool fill_key_file(Fd& file, const std::string& path, const unsigned char* key, size_t n, PyObject* filename) {
    if (blocking([&] { return fchmod(file.get(), S_IRUSR | S_IWUSR); }) == 0 && write_all(file.get(), key, n) &&
        blocking([&] { return fsync(file.get()); }) == 0 && file.close() == 0)
        return true;
    const int err = errno;
    file.close();
    without_gil([&] { return ::unlink(path.c_str()); });
    os_error(err, filename);
    return false;
}

std::string directory_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// fsync() of a directory: filesystems that cannot sync one say EINVAL, and
// that is no failure.
bool fsync_directory(int fd, PyObject* filename) {
    if (blocking([fd] { return fsync(fd); }) != 0 && errno != EINVAL) {
        os_error(errno, filename);
        return false;
    }
    return true;
}

// Makes the new directory entry durable; false with an exception set. The key
// is in place already, so a directory that cannot be opened for syncing (one
// that may be written but not read, mode 0300) is no failure either.
bool sync_directory(const std::string& dir, PyObject* filename) {
    Fd d(open_file(dir, O_RDONLY | O_DIRECTORY));
    if (!d.ok()) return !PyErr_Occurred();
    return fsync_directory(d.get(), filename);
}

// flock() on the directory `dir`, held while `lock` stays open: 1 when held,
// 0 when the directory cannot be opened or locked (nothing held), -1 with an
// exception set when a signal handler raised while waiting.
int lock_directory(const std::string& dir, int how, Fd& lock) {
    lock.reset(open_file(dir, O_RDONLY | O_DIRECTORY));
    if (!lock.ok()) return PyErr_Occurred() ? -1 : 0;
    if (blocking([&] { return flock(lock.get(), how); }) != 0) {
        lock.reset(-1);
        return PyErr_Occurred() ? -1 : 0;
    }
    return 1;
}

// The directory that holds the file a key path leads to, through symbolic
// links (a creator locks the directory it creates in).
std::string real_directory_of(const std::string& path) {
    std::unique_ptr<char, decltype(&::free)> real(without_gil([&] { return ::realpath(path.c_str(), nullptr); }),
                                                  &::free);
    return directory_of(real ? std::string(real.get()) : path);
}

enum class Made { key, exists, failed };

// Errors of link() on a filesystem without hard links.
bool no_hard_links(int err) { return err == EPERM || err == EOPNOTSUPP || err == ENOSYS; }

// Errors of renameat2(RENAME_NOREPLACE) where the kernel or the filesystem
// does not offer it.
bool no_exclusive_rename(int err) { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

int rename_noreplace(const std::string& from, const std::string& to) {
#if defined(RENAME_NOREPLACE)
    return blocking([&] { return renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE); });
#elif defined(SYS_renameat2)
    return blocking([&] {
        return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 1u));
    });
#else
    errno = ENOSYS;
    return -1;
#endif
}

// The last resort where neither hard links nor an exclusive rename exist:
// the key file is created exclusively under its own name (never replacing
// one), mode 0600 from the first instant, and written and synced before
// another process of this module can read it. The creator holds an
// exclusive lock on the directory from before the name appears until the
// key is durable; a reader that finds a regular key file shorter than a new
// key waits for a shared lock on that directory and reads again (see
// load_or_create_key()). A failed write removes the name again, under the
// lock. What this cannot guarantee: that programs other than this module,
// which know nothing of the lock, never see the file empty or partly
// written; that a crash between creating and syncing leaves no empty or
// short key file under the name, which later readers then take as it is; and
// any of it where the directory cannot be opened or locked (flock() refused,
// or mode 0300): then the creator goes ahead without the lock, and a reader
// racing it may read the file empty, a key that fails every call.
Made create_in_place(const std::string& path, const std::string& dir, const unsigned char* key, size_t n,
                     PyObject* filename) {
    Fd lock;
    const int locked = lock_directory(dir, LOCK_EX, lock);
    if (locked < 0) return Made::failed;
    Fd file(open_file(path, O_CREAT | O_EXCL | O_WRONLY, S_IRUSR | S_IWUSR));
    if (!file.ok()) {
        if (errno == EEXIST && !PyErr_Occurred()) return Made::exists;
        os_error(errno, filename);
        return Made::failed;
    }
    if (!fill_key_file(file, path, key, n, filename)) return Made::failed;
    if (locked > 0 ? !fsync_directory(lock.get(), filename) : !sync_directory(dir, filename)) return Made::failed;
    return Made::key;
}

// Writes a new key to a temporary file and moves it to `path`. `exists`
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
    Fd file;
    for (int attempt = 0; !file.ok(); ++attempt) {
        unsigned char salt[8];
        if (!os_random(salt, sizeof salt)) return Made::failed;
        static const char hex[] = "0123456789abcdef";
        tmp = dir + "/.key-";
        for (unsigned char b : salt) {
            tmp += hex[b >> 4];
            tmp += hex[b & 15];
        }
        tmp += ".tmp";
        file.reset(open_file(tmp, O_CREAT | O_EXCL | O_WRONLY, S_IRUSR | S_IWUSR));
        if (!file.ok() && !(errno == EEXIST && attempt < 8)) {
            os_error(errno, filename);
            return Made::failed;
        }
    }
    if (!fill_key_file(file, tmp, key, sizeof key, filename)) return Made::failed;

    int placed = blocking([&] { return ::link(tmp.c_str(), path.c_str()); });
    int err = errno;
    if (placed != 0 && no_hard_links(err) && !PyErr_Occurred()) {
        // A rename moves the temporary name itself: nothing to remove after.
        placed = rename_noreplace(tmp, path);
        err = errno;
        if (placed == 0) tmp.clear();
    }
    // The key path (if placed) holds the key now; the temporary name goes
    // either way. Should removing it fail, it is a 0600 copy of the key and
    // nothing to fail the caller for.
    if (!tmp.empty()) without_gil([&] { return ::unlink(tmp.c_str()); });
    if (placed != 0) {
        if (PyErr_Occurred()) return Made::failed;
        if (err == EEXIST) return Made::exists;
        if (!no_exclusive_rename(err)) {
            os_error(err, filename);
            return Made::failed;
        }
        Made made = create_in_place(path, dir, key, sizeof key, filename);
        if (made != Made::key) return made;
    } else if (!sync_directory(dir, filename)) {
        return Made::failed;
    }
    key_out = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key), sizeof key);
    return key_out ? Made::key : Made::failed;
}

// A dangling symbolic link at the key path: said so at once, with the
// errno and type of a missing file, so that callers catching those still do.
PyObject* dangling_link_error(PyObject* filename) {
    Ref exc = Ref::steal(PyObject_CallFunction(PyExc_FileNotFoundError, "isO", ENOENT,
                                               "key path is a symbolic link to a missing file", filename));
    if (exc) PyErr_SetObject(PyExc_FileNotFoundError, exc.get());
    return nullptr;
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

    // An existing key file is used as it is, whatever its mode or length (up
    // to kMaxKeyFileBytes). If the name is taken but leads nowhere (a file
    // removed between our steps), a few more tries; then its error stands.
    for (int attempt = 0; attempt < 3; ++attempt) {
        Ref key;
        bool regular = false;
        Read got = read_key(p, filename.get(), key, regular);
        if (got == Read::key && regular && static_cast<size_t>(PyBytes_GET_SIZE(key.get())) < kNewKeyBytes) {
            // Shorter than a new key: perhaps one being written in place by
            // another process (create_in_place()). Its lock on the directory
            // says so; once that is free, the file is what it is.
            Fd lock;
            const int locked = lock_directory(real_directory_of(p), LOCK_SH, lock);
            if (locked < 0) return nullptr;
            if (locked > 0) got = read_key(p, filename.get(), key, regular);
        }
        if (got == Read::key) return key.release();
        if (got == Read::failed) return nullptr;

        // A symbolic link whose target is missing (still, not just created).
        struct stat st;
        if (blocking([&] { return lstat(p.c_str(), &st); }) == 0 && S_ISLNK(st.st_mode)) {
            if (blocking([&] { return stat(p.c_str(), &st); }) == 0) continue;
            if (errno == ENOENT && !PyErr_Occurred()) return dangling_link_error(filename.get());
        }
        if (PyErr_Occurred()) return nullptr;
        PyObject* made = nullptr;
        switch (create_key(p, filename.get(), made)) {
            case Made::key: return made;
            case Made::failed: return nullptr;
            case Made::exists: break;  // read the one that is there
        }
    }
    return os_error(ENOENT, filename.get());
}

}  // namespace zk::crypto
