# SPDX-License-Identifier: MIT
"""Exhausted memory: every allocation of the module that cannot be had
(the constructor's copies, simulate()'s buffers, the arrays and floats the
getters return) ends the call with MemoryError; the same call fails the same
way again, the process goes on, and the next sound calls give the bits
computed before memory ran out.

Each scenario below runs in a child interpreter (run_scenario), which first
computes sound spectra serially and on the pool, then runs the scenario:
it limits the address space (RLIMIT_AS) to just above what the child
already uses, or asks for more than any address space holds, and makes its
failing calls. The sound spectra are then computed again under the limit
and without it.

Zero-stride views made with np.broadcast_to cost no memory however long
they are, but the module's copy of them does: that is how a copy is made too
large to allocate without the test needing the memory itself.
"""

import _testcapi
import contextlib
import ctypes
import faulthandler
import os
import resource

import numpy as np
import pytest

import lamiro
from conftest import catch_panic, run_python

# Under AddressSanitizer a failed operator new ends the process by design
# (it reports the exhaustion instead of throwing), so nothing here can be
# observed in a sanitized build.
pytestmark = pytest.mark.skipif(bool(os.environ.get("LAMIRO_SANITIZED")),
                                reason="the sanitizer's allocator aborts on exhaustion")

HUGE = 2**40  # elements: terabytes once copied


def limit(extra):
    """Lets the process map `extra` more bytes than it has mapped now."""
    with open("/proc/self/status") as status:
        mapped = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (mapped + extra, resource.getrlimit(resource.RLIMIT_AS)[1]))


def unlimit():
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))


def memory_error(call):
    """Makes the call twice; both must raise MemoryError."""
    for _ in range(2):
        with pytest.raises(MemoryError):
            call()


def sound(size, seed):
    rng = np.random.default_rng(seed)
    n = rng.uniform(1.3, 2.4, (4, size)) + 1j * rng.uniform(0.0, 0.05, (4, size))
    n[0] = 1.0
    return rng.uniform(20.0, 300.0, 2), n, np.linspace(400.0, 800.0, size), 0.4, 0.3


def spectra(case):
    res = lamiro.DataPy(*case).simulate()
    return res.r.tobytes() + res.t.tobytes()


SERIAL = sound(60, 1)
D, N, WL = SERIAL[:3]


def long_spectrum(size):
    """A DataPy of `size` wavelengths whose stored inputs take no memory."""
    return lamiro.DataPy(np.empty(0), np.broadcast_to(1.5 + 0.01j, (2, size)),
                         np.broadcast_to(500.0, (size,)), 0.4, 0.3)


# --- scenarios: each makes its failing calls; one that returns a function
# has it called once the limit is lifted. ---------------------------------


def copy_of_d():
    limit(2**28)
    memory_error(lambda: lamiro.DataPy(np.broadcast_to(1.0, (HUGE,)), N, WL, 0.1, 0.0))


def copy_of_n():
    limit(2**28)
    memory_error(lambda: lamiro.DataPy(D, np.broadcast_to(1j, (4, HUGE // 4)), WL, 0.1, 0.0))


def copy_of_wl():
    limit(2**28)
    memory_error(lambda: lamiro.DataPy(D, N, np.broadcast_to(500.0, (HUGE,)), 0.1, 0.0))


def copies_beyond_any_address_space():
    # No limit needed: 2**48 bytes lie beyond every user address space, and
    # the largest arrays NumPy can describe (byte sizes just below
    # PTRDIFF_MAX) are still representable.
    for length, rows, cols in [(2**45, 2**22, 2**22), (2**60 - 1, 1, 2**59 - 1)]:
        memory_error(lambda: lamiro.DataPy(np.broadcast_to(1.0, (length,)), N, WL, 0.1, 0.0))
        memory_error(lambda: lamiro.DataPy(D, np.broadcast_to(1j, (rows, cols)), WL, 0.1, 0.0))
        memory_error(lambda: lamiro.DataPy(D, N, np.broadcast_to(1.0, (length,)), 0.1, 0.0))


@contextlib.contextmanager
def exhausted_heap():
    """Fills the C heap through the C allocator itself, in ever smaller
    blocks, under a limit of 1 MiB more address space; gives it back after."""
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.malloc.argtypes = [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    blocks = (ctypes.c_void_p * 200_000)()
    count = 0
    limit(2**20)
    for size in (2**16, 2**12, 2**9, 2**6):
        while count < len(blocks) and (block := libc.malloc(size)):
            blocks[count] = block
            count += 1
    try:
        yield
    finally:
        for i in range(count):
            libc.free(blocks[i])


def without_python_memory(call, start=0, stop=0):
    """Calls call() while the interpreter's allocators fail, from allocation
    number `start` on up to `stop` (0: for ever); returns what it raised.
    Nothing else runs between the hooks, since nothing else could."""
    set_nomemory, remove_mem_hooks = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
    try:
        set_nomemory(start, stop)
        call()
    except BaseException as exc:  # noqa: BLE001 - whatever it raised is checked
        remove_mem_hooks()
        return exc
    finally:
        remove_mem_hooks()
    return None


def serial_simulate_on_an_exhausted_heap():
    # 60 wavelengths need a few kilobytes for the matrix pairs and spectra.
    simulate = lamiro.DataPy(*SERIAL).simulate
    with exhausted_heap():
        memory_error(simulate)


# Before any fault was reported in the process: taking the MemoryError of a
# failed call must not depend on memory for anything new, such as the type
# that faults are reported as.
def getter_on_an_exhausted_heap_before_any_fault():
    obj = lamiro.DataPy(np.broadcast_to(50.0, (2**24,)), N, WL, 0.4, 0.3)
    with exhausted_heap():
        memory_error(lambda: obj.d)


def getter_without_python_memory_before_any_fault():
    obj = lamiro.DataPy(*SERIAL)
    for _ in range(2):
        assert type(without_python_memory(lambda: obj.d)) is MemoryError


# The first fault of the process, reported with no memory for its
# exception: the caller gets the MemoryError.
def first_fault_without_python_memory():
    args = D, N[0], WL, 0.4, 0.3
    for _ in range(2):
        assert type(without_python_memory(lambda: lamiro.DataPy(*args))) is MemoryError
    return lambda: type(catch_panic(lambda: lamiro.DataPy(*args))).__name__ == "PanicException"


# Only the Simulation instance record itself cannot be allocated: the first
# allocation of the interpreter's allocators that simulate() makes.
def simulation_instance_without_memory():
    simulate = lamiro.DataPy(*SERIAL).simulate
    for _ in range(2):
        assert type(without_python_memory(simulate, 0, 1)) is MemoryError


# Parallel evaluation of 2**20 wavelengths: simulate() reads the stored
# arrays in place and allocates the pair list (128 bytes per wavelength),
# then the two spectra (8 bytes each).
def parallel_simulate_without_room_for_the_pairs():
    obj = long_spectrum(2**20)
    limit(100 * 2**20)
    memory_error(obj.simulate)


def parallel_simulate_without_room_for_the_spectra():
    obj = long_spectrum(2**20)
    limit(134 * 2**20)
    memory_error(obj.simulate)


def getters_of_datapy():
    obj = lamiro.DataPy(np.broadcast_to(50.0, (2**24,)), N, WL, 0.4, 0.3)
    before = obj.d.tobytes()
    limit(2**26)
    memory_error(lambda: obj.d)
    assert obj.theta == 0.4
    return lambda: obj.d.tobytes() == before


def getters_of_simulation():
    res = long_spectrum(2**20).simulate()
    before = res.r.tobytes() + res.t.tobytes()
    limit(2**22)
    memory_error(lambda: res.r)
    memory_error(lambda: res.t)
    return lambda: res.r.tobytes() + res.t.tobytes() == before


# Where the memory suffices, the same calls succeed under a limit.
def simulate_reads_stored_arrays_in_place():
    # 128 MiB of stored thicknesses and 256 MiB of stored surplus columns fit
    # in 64 MiB: simulate() does not copy what it only reads.
    expected = lamiro.DataPy(*SERIAL).simulate().r.tobytes()
    wide = np.broadcast_to(N[:, :1], (4, 2**24)).copy()
    wide[:, :60] = N
    long_d = np.zeros(2**24)
    long_d[:2] = D
    obj = lamiro.DataPy(long_d, wide, WL, 0.4, 0.3)
    del wide, long_d
    limit(2**26)
    assert obj.simulate().r.tobytes() == expected


def parallel_simulate_with_room():
    obj = long_spectrum(2**20)
    limit(400 * 2**20)
    res = obj.simulate()
    assert len(res.r) == 2**20 and res.r[0] == res.r[-1]


SCENARIOS = {f.__name__: f for f in [
    copy_of_d, copy_of_n, copy_of_wl, copies_beyond_any_address_space,
    serial_simulate_on_an_exhausted_heap, getter_on_an_exhausted_heap_before_any_fault,
    getter_without_python_memory_before_any_fault, first_fault_without_python_memory,
    simulation_instance_without_memory, parallel_simulate_without_room_for_the_pairs,
    parallel_simulate_without_room_for_the_spectra, getters_of_datapy, getters_of_simulation,
    simulate_reads_stored_arrays_in_place, parallel_simulate_with_room,
]}


def run_scenario(name):
    """The body of a child interpreter: the scenario between sound calls."""
    faulthandler.dump_traceback_later(100, exit=True)
    parallel = sound(700, 2)
    # Computed before any limit; this also starts the pool, so its threads
    # exist before the limit.
    expected = spectra(SERIAL), spectra(parallel)
    afterwards = SCENARIOS[name]()
    for lifted in (False, True):
        if lifted:
            unlimit()
        for _ in range(2):
            assert (spectra(SERIAL), spectra(parallel)) == expected
    assert afterwards is None or afterwards()
    print("done")


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_memory_error_and_the_process_goes_on(name):
    rc, out, err = run_python(
        f"import test_memory_exhaustion as t; t.run_scenario({name!r})",
        env_extra={"RAYON_NUM_THREADS": "2", "OPENBLAS_NUM_THREADS": "1"}, timeout=120)
    assert rc == 0 and out.strip() == "done", f"exit {rc}\n{out}\n{err[-4000:]}"
