"""How much memory the tool may use, and the limits it sets on its workers;
how many cores it may use.

Every memory default of the tool comes from `available_memory()`: what the
process may use at most, the memory limit of its control group where there
is one, else the machine's physical memory. A quarter of that is left free.
A limit the user set on the process (`ulimit -v`, RLIMIT_AS) bounds it too
and is never raised.
"""

from __future__ import annotations

# Imported by every start of the tool: typing is for type checkers alone.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Optional

# Images of more pixels than this are refused before they are decoded
# (`kivtool import --max-pixels`): a few bytes of compressed data can declare
# gigabytes.
DEFAULT_MAX_PIXELS = 64_000_000
# A quarter of the memory is left to the system and to other processes.
SHARE_USED = 3 / 4
# An answer this high means the memory is not known.
NO_LIMIT = 1 << 60


def available_memory() -> Optional[int]:
    """Bytes of memory available to this process: its control group's limit
    (and those of the groups above it) where there is one, else the
    machine's physical memory; None when neither is known. The core's
    answer, so that the tool and the module bound memory alike."""
    from kivtool import _core

    available = _core.available_memory()
    return available if 0 < available < NO_LIMIT else None


def address_space_limit() -> Optional[int]:
    """The soft limit on this process's address space (RLIMIT_AS), None
    when there is none."""
    try:
        import resource
    except ImportError:
        return None
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    return None if soft == resource.RLIM_INFINITY else soft


def address_space_in_use() -> Optional[int]:
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError):
        pass
    return None


def memory_budget() -> Optional[int]:
    """Bytes one piece of work (a canvas, the frames of an import) may take
    in this process: three quarters of the available memory, and no more
    than the address space left under a limit set on the process."""
    bounds = []
    available = available_memory()
    if available is not None:
        bounds.append(int(available * SHARE_USED))
    limit = address_space_limit()
    if limit is not None:
        bounds.append(max(0, limit - (address_space_in_use() or 0)))
    return min(bounds) if bounds else None


def default_worker_limit(jobs: int) -> Optional[int]:
    """Bytes of address space for each of `jobs` workers: three quarters of
    the available memory shared out among them, so that all of them
    together leave a quarter free."""
    available = available_memory()
    if available is None:
        return None
    return int(available * SHARE_USED) // max(1, jobs)


def limit_address_space(limit: Optional[int]) -> None:
    """Lowers this process's address-space limit to `limit`; never raises
    a limit already set (the user's `ulimit -v` stays the bound)."""
    if limit is None:
        return
    try:
        import resource
    except ImportError:  # not on this system; the module's own limits still hold
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    for bound in (soft, hard):
        if bound != resource.RLIM_INFINITY:
            limit = min(limit, bound)
    in_use = address_space_in_use()
    if in_use is not None and in_use >= limit:
        # Already past it (a sanitizer's shadow memory is reserved address
        # space): the limit would refuse every allocation, so none is set.
        return
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))


def usable_cores() -> int:
    """The cores this process may run on: those its affinity allows where the
    system tells, else the machine's."""
    import os

    try:
        return len(os.sched_getaffinity(0))  # type: ignore[attr-defined,unused-ignore]
    except (AttributeError, OSError):
        return os.cpu_count() or 1
