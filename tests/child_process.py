"""Runs test code in a new interpreter, so that a crash, or the system
killing a process that ran out of memory, fails one test instead of ending
the whole run, and so that peak memory is measured for that code alone."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))

# Defined in every child before its code runs.
PRELUDE = '''
import json, os, sys
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
'''


def run_child(code: str, *, timeout: float = 600) -> dict:
    """Runs `code` (which ends by calling report(...)) in a new interpreter
    and returns what it reported. Fails with the child's output when it does
    not exit normally."""
    script = PRELUDE.format(tests_dir=TESTS_DIR) + textwrap.dedent(code)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"child exited with {done.returncode}\n{done.stdout}\n{done.stderr}"
    return json.loads(done.stdout.strip().splitlines()[-1])
