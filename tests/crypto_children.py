"""Child interpreters for the crypto tests: with a preloaded shim that refuses
link() with $ZK_LINK_ERRNO and renameat2() with $ZK_RENAME_ERRNO (logging each
refusal to $ZK_SHIM_LOG) and holds fchmod() back $ZK_FCHMOD_DELAY_MS first,
or without the capabilities that let root past file modes."""

import os
import shutil
import subprocess
import sys

import pytest

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#define REAL(name, ...) ((int (*)(__VA_ARGS__))dlsym(RTLD_NEXT, #name))
static int refused(const char* what, const char* var) {
    FILE* log = getenv(var) && getenv("ZK_SHIM_LOG") ? fopen(getenv("ZK_SHIM_LOG"), "a") : NULL;
    if (log) fprintf(log, "%s\n", what), fclose(log);
    return getenv(var) ? (errno = atoi(getenv(var))) : 0;
}
int link(const char* a, const char* b) {
    return refused("link", "ZK_LINK_ERRNO") ? -1 : REAL(link, const char*, const char*)(a, b);
}
int renameat2(int ad, const char* a, int bd, const char* b, unsigned f) {
    return refused("renameat2", "ZK_RENAME_ERRNO")
               ? -1 : REAL(renameat2, int, const char*, int, const char*, unsigned)(ad, a, bd, b, f);
}
int fchmod(int fd, mode_t mode) {
    const char* ms = getenv("ZK_FCHMOD_DELAY_MS");
    if (ms) nanosleep(&(struct timespec){0, atoi(ms) * 1000000L}, NULL);
    return REAL(fchmod, int, mode_t)(fd, mode);
}
"""


def shim_env(folder, **settings):
    """The environment of a child with the shim preloaded (after whatever is
    preloaded already: the sanitizer runtimes come first) and `settings`."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the preloaded shim")
    (folder / "shim.c").write_text(SHIM)
    subprocess.run([compiler, "-shared", "-fPIC", "-o", folder / "shim.so", folder / "shim.c", "-ldl"], check=True)
    env = dict(os.environ, **{name: str(value) for name, value in settings.items()})
    env["LD_PRELOAD"] = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(folder / "shim.so")]))
    return env


def without_capabilities():
    """The command prefix that runs a child on which file modes bite."""
    if os.geteuid() != 0:
        return []
    if shutil.which("setpriv") is None:
        pytest.skip("running as root without setpriv to drop capabilities")
    return ["setpriv", "--bounding-set=-all", "--inh-caps=-all", "--"]


def python(code, *args, prefix=(), **popen):
    """A child interpreter running code with args."""
    return subprocess.Popen([*prefix, sys.executable, "-c", code, *args], text=True, **popen)
