"""Runs test code in a new interpreter, so that a crash, or the system
killing a process that ran out of memory, fails one test instead of ending
the whole run, and so that peak memory is measured for that code alone."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# For tests that set an address-space limit in a child: AddressSanitizer
# reserves terabytes of address space, and Windows has no such limit.
no_address_space_limit = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", "") or sys.platform == "win32",
    reason="no address-space limit: under AddressSanitizer or on Windows",
)

# Defined in every child before its code runs.
PRELUDE = '''
import json, os, sys, tempfile
sys.path.insert(0, {tests_dir!r})

def peak_rss():
    """Peak resident memory of this process so far, in bytes; None where the
    system does not tell."""
    try:
        import resource
    except ImportError:
        return None
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024

def physical_memory():
    if sys.platform == "win32":
        import ctypes
        class MemoryStatus(ctypes.Structure):
            _fields_ = [("length", ctypes.c_ulong), ("load", ctypes.c_ulong)] + [
                (name, ctypes.c_ulonglong) for name in ("total_phys", "avail_phys", "total_page", "avail_page",
                                                        "total_virtual", "avail_virtual", "avail_extended")]
        status = MemoryStatus(length=ctypes.sizeof(MemoryStatus))
        ctypes.windll.kernel32.GlobalMemoryStatusEx(ctypes.byref(status))
        return status.total_phys
    return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")

def report(**values):
    print(json.dumps(values))

def drop_privileges():
    """Goes on as the unprivileged user "nobody", so that permission bits
    apply as they do to users (root passes every check). Modules the child
    needs are imported before, while their files are still readable. Returns
    why that is impossible, or None."""
    if not hasattr(os, "geteuid"):
        return "no user ids on this platform"
    if os.geteuid() != 0:
        return None  # permission checks apply already
    try:
        import pwd
        nobody = pwd.getpwnam("nobody")
        os.setgroups([])
        os.setgid(nobody.pw_gid)
        os.setuid(nobody.pw_uid)
    except (KeyError, OSError) as e:
        return f"cannot become an unprivileged user: {{e}}"
    return None

def error_lines(call):
    """Runs `call` and returns the lines it wrote to the standard error
    stream (the module writes there below Python, so the descriptor itself
    is redirected)."""
    sys.stderr.flush()
    with tempfile.TemporaryFile() as captured:
        saved = os.dup(2)
        os.dup2(captured.fileno(), 2)
        try:
            call()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        captured.seek(0)
        return captured.read().decode().splitlines()
'''


def run_child(code: str, *, timeout: float = 600) -> dict:
    """Runs `code` (which ends by calling report(...)) in a new interpreter
    and returns what it reported. Fails with the child's output when it does
    not exit normally."""
    script = PRELUDE.format(tests_dir=TESTS_DIR) + textwrap.dedent(code)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"child exited with {done.returncode}\n{done.stdout}\n{done.stderr}"
    return json.loads(done.stdout.strip().splitlines()[-1])
