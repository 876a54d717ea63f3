"""Child interpreters for the crypto tests: a preloaded shim that makes the
filesystem refuse hard links or exclusive renames, and a run without the
capabilities that let root past file modes."""

from __future__ import annotations

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

# link() fails with $ZK_LINK_ERRNO and renameat2() with $ZK_RENAME_ERRNO when
# they are set; each refusal is logged to $ZK_SHIM_LOG. fchmod() first sleeps
# $ZK_FCHMOD_DELAY_MS, which holds a creator between making a file and
# writing it.
SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int env_int(const char* name) {
    const char* v = getenv(name);
    return v ? atoi(v) : 0;
}

static int refuse(const char* what, int err) {
    const char* log = getenv("ZK_SHIM_LOG");
    if (log) {
        int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            (void)!write(fd, what, strlen(what));
            (void)!write(fd, "\n", 1);
            close(fd);
        }
    }
    errno = err;
    return -1;
}

int link(const char* from, const char* to) {
    int err = env_int("ZK_LINK_ERRNO");
    if (err) return refuse("link", err);
    int (*real)(const char*, const char*) = (int (*)(const char*, const char*))dlsym(RTLD_NEXT, "link");
    return real(from, to);
}

int renameat2(int fromdir, const char* from, int todir, const char* to, unsigned flags) {
    int err = env_int("ZK_RENAME_ERRNO");
    if (err) return refuse("renameat2", err);
    int (*real)(int, const char*, int, const char*, unsigned) =
        (int (*)(int, const char*, int, const char*, unsigned))dlsym(RTLD_NEXT, "renameat2");
    return real(fromdir, from, todir, to, flags);
}

int fchmod(int fd, mode_t mode) {
    int ms = env_int("ZK_FCHMOD_DELAY_MS");
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    if (ms) nanosleep(&t, NULL);
    int (*real)(int, mode_t) = (int (*)(int, mode_t))dlsym(RTLD_NEXT, "fchmod");
    return real(fd, mode);
}
"""


def build_shim(folder: pathlib.Path) -> pathlib.Path:
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the preloaded shim")
    source, shim = folder / "shim.c", folder / "shim.so"
    source.write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(shim), str(source), "-ldl"], check=True)
    return shim


def preload_env(shim: pathlib.Path, **settings: object) -> dict[str, str]:
    """The environment of a child with the shim preloaded after whatever is
    preloaded already (the sanitizer runtimes come first)."""
    env = dict(os.environ, **{name: str(value) for name, value in settings.items()})
    env["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)]))
    return env


def without_capabilities() -> list[str]:
    """The command prefix that runs a child on which file modes bite."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    if setpriv is None:
        pytest.skip("running as root without setpriv to drop capabilities")
    return [setpriv, "--bounding-set=-all", "--inh-caps=-all", "--"]


def python(code: str, *args: str, prefix: tuple[str, ...] | list[str] = (), **kwargs):
    """A child interpreter running code with args."""
    return subprocess.Popen([*prefix, sys.executable, "-c", code, *args], text=True, **kwargs)
