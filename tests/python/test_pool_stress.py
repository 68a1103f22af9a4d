# SPDX-License-Identifier: MIT
"""The worker pool under stress, each case in a fresh interpreter so that
the worker count can be chosen and a hang or crash cannot take the test run
with it.

Spectra of more than 100 wavelengths are evaluated on the pool; up to 100 on
the calling thread. The reference for a parallel spectrum is therefore the
same stack evaluated in chunks of at most 100 wavelengths, which must agree
to the bit whatever the number of workers.
"""

import hashlib
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from conftest import child_env


# Shared by the child interpreters: deterministic stacks, chunked serial
# evaluation and a digest of result bytes. Thread counts are taken from
# /proc, with the BLAS libraries held to one thread so that only the pool's
# workers are new.
PRELUDE = textwrap.dedent('''
    import faulthandler, hashlib, os, sys
    WATCHDOG
    import numpy as np
    import lamiro

    def stack(size, seed):
        rng = np.random.default_rng(seed)
        media = int(rng.integers(2, 7))
        n = rng.uniform(1.3, 2.4, (media, size)) + 1j * rng.uniform(0.0, 0.05, (media, size))
        n[0] = 1.0
        d = rng.uniform(20.0, 300.0, media - 2)
        wl = np.sort(rng.uniform(350.0, 900.0, size))
        theta, phi = rng.uniform(0.0, 1.4), rng.uniform(0.0, 1.5)
        return d, n, wl, theta, phi

    def spectra(d, n, wl, theta, phi):
        res = lamiro.DataPy(d, n, wl, theta, phi).simulate()
        return res.r, res.t

    def serial_spectra(d, n, wl, theta, phi):
        parts = [spectra(d, n[:, a:a + 100], wl[a:a + 100], theta, phi)
                 for a in range(0, len(wl), 100)]
        return (np.concatenate([p[0] for p in parts] or [np.empty(0)]),
                np.concatenate([p[1] for p in parts] or [np.empty(0)]))

    def same(a, b):
        return all(x.tobytes() == y.tobytes() for x, y in zip(a, b))

    def threads():
        return len(os.listdir("/proc/self/task"))
''')

QUIET_BLAS = {"OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


def run_child(body, env_extra=None, prefix=(), timeout=120, watchdog=True):
    """Runs PRELUDE + body in a fresh interpreter; returns the completed process.

    The watchdog dumps every thread's stack shortly before the timeout. It
    must stay off where the child forks: a forked process cannot stop the
    watchdog thread that it did not inherit, and would wait for it forever.
    """
    env = child_env({**QUIET_BLAS, **(env_extra or {})})
    arm = f"faulthandler.dump_traceback_later({timeout - 10}, exit=True)" if watchdog else ""
    code = PRELUDE.replace("WATCHDOG", arm) + textwrap.dedent(body)
    return subprocess.run([*prefix, sys.executable, "-W", "ignore::DeprecationWarning", "-c", code],
                          env=env, capture_output=True, text=True, timeout=timeout)


def checked(proc):
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr[-4000:]}"
    return proc.stdout


# --- faults inside a parallel request ----------------------------------------------

# n holds fewer columns than there are wavelengths, so every index from the
# number of columns on faults: with none, the first index already does; with
# N // 2 the middle and everything after it; with N - 1 only the last index.
FAULT_COLUMNS = {"first": "0", "middle": "N // 2", "last": "N - 1"}


@pytest.mark.parametrize("where", list(FAULT_COLUMNS), ids=[f"fault-from-{k}" for k in FAULT_COLUMNS])
def test_faults_in_parallel_requests_leave_the_pool_correct(where):
    proc = run_child(f'''
        N = 1000
        d, n, wl, theta, phi = stack(N, 7)
        good = spectra(d, n, wl, theta, phi)
        assert same(good, serial_spectra(d, n, wl, theta, phi))
        small = stack(333, 8)
        small_good = spectra(*small)
        bad = lamiro.DataPy(d, n[:, :{FAULT_COLUMNS[where]}], wl, theta, phi)
        faults = 0
        for i in range(1000):
            try:
                bad.simulate()
            except BaseException as exc:
                assert type(exc).__name__ == "PanicException", repr(exc)
                assert str(exc) == "ndarray: index out of bounds", str(exc)
                faults += 1
            if i % 2 == 0:
                assert same(spectra(d, n, wl, theta, phi), good), i
                assert same(spectra(*small), small_good), i
        assert same(spectra(d, n, wl, theta, phi), good)
        print(faults)
    ''', {"RAYON_NUM_THREADS": "3"})
    assert int(checked(proc)) == 1000
    # Every fault writes its diagnostic to standard error as it happens.
    assert proc.stderr.count("ndarray: index out of bounds") >= 1000


# --- parallel equals serial for many sizes and worker counts -----------------------

SIZES = [101, 102, 127, 128, 129, 199, 200, 201, 255, 256, 257, 333, 511, 512, 513, 999, 1000,
         1001, 1023, 1024, 1025, 2047, 2048, 4095, 4097, 5000, 9973, 10007]
RANDOM_SIZES = [int(s) for s in np.random.default_rng(2024).integers(101, 10008, 24)]
ALL_SIZES = SIZES + RANDOM_SIZES

EQUALITY_BODY = f'''
    sizes = {ALL_SIZES!r}
    before = threads()
    digest = hashlib.sha256()
    grown = None
    for seed, size in enumerate(sizes):
        case = stack(size, seed)
        parallel = spectra(*case)
        if grown is None:
            grown = threads() - before
        again = spectra(*case)
        assert same(parallel, again), size
        assert same(parallel, serial_spectra(*case)), size
        for part in parallel:
            digest.update(part.tobytes())
    print(grown, digest.hexdigest())
'''


@pytest.fixture(scope="module")
def serial_digest():
    """The digest of every spectrum of EQUALITY_BODY, evaluated here in
    chunks of at most 100 wavelengths (no pool involved)."""
    namespace = {}
    exec(PRELUDE.replace("WATCHDOG", ""), namespace)
    digest = hashlib.sha256()
    for seed, size in enumerate(ALL_SIZES):
        for part in namespace["serial_spectra"](*namespace["stack"](size, seed)):
            digest.update(part.tobytes())
    return digest.hexdigest()


CONFIGS = {
    "1-worker": ({"RAYON_NUM_THREADS": "1"}, (), 1),
    "2-workers": ({"RAYON_NUM_THREADS": "2"}, (), 2),
    "3-workers": ({"RAYON_NUM_THREADS": "3"}, (), 3),
    "taskset-cpu0": ({}, ("taskset", "-c", "0"), 1),
}


@pytest.mark.parametrize("config", list(CONFIGS), ids=list(CONFIGS))
def test_parallel_spectra_equal_serial_ones(config, serial_digest):
    env, prefix, workers = CONFIGS[config]
    if prefix and shutil.which(prefix[0]) is None:
        pytest.skip("taskset is not installed")
    grown, digest = checked(run_child(EQUALITY_BODY, env, prefix)).split()
    assert int(grown) == workers
    assert digest == serial_digest


# --- idle workers ------------------------------------------------------------------

IDLE_BODY = '''
    import time
    data = lamiro.DataPy(*stack(301, 5)[:3], 0.2, 0.3)
    for _ in range(500):
        data.simulate()
    time.sleep(0.02)
    cpu = time.process_time()
    time.sleep(0.3)
    print(time.process_time() - cpu)
'''


@pytest.mark.parametrize("workers", ["1", "2", "3"])
def test_workers_use_no_processor_time_after_a_burst(workers):
    # Between the requests of a burst the workers look for the next one;
    # once the calls stop they park. A worker that kept looking would use a
    # whole processor: 0.3 s over the idle 0.3 s.
    seconds = float(checked(run_child(IDLE_BODY, {"RAYON_NUM_THREADS": workers})))
    assert seconds < 0.03


# --- fork ------------------------------------------------------------------------

FORK_WHILE_COMPUTING = '''
    import json, signal, threading, time
    big = stack(1000, 1)
    small = stack(50, 2)
    big_ref, small_ref = spectra(*big), spectra(*small)
    stop = threading.Event()
    rounds = [0]
    wrong = []

    def compute():
        while not stop.is_set():
            if not same(spectra(*big), big_ref):
                wrong.append(rounds[0])
            rounds[0] += 1

    thread = threading.Thread(target=compute)
    thread.start()
    pids = []
    for _ in range(FORKS):
        while rounds[0] < len(pids) + 1:
            time.sleep(0.0005)
        pid = os.fork()
        if pid == 0:
            ok = (same(spectra(*big), big_ref) and same(spectra(*small), small_ref)
                  and same(spectra(*big), big_ref))
            os._exit(0 if ok else 3)
        pids.append(pid)
    deadline = time.monotonic() + 60
    codes = {}
    while len(codes) < len(pids) and time.monotonic() < deadline:
        for pid in pids:
            if pid not in codes:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    codes[pid] = os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    for pid in pids:
        if pid not in codes:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            codes[pid] = "hung"
    stop.set()
    thread.join()
    assert same(spectra(*big), big_ref)
    print(json.dumps({"codes": sorted(map(str, codes.values())), "wrong": wrong,
                      "rounds": rounds[0]}))
'''


@pytest.mark.parametrize("workers", ["1", "2", "3"])
def test_fork_while_another_thread_computes(workers):
    import json

    forks = 100
    out = checked(run_child(FORK_WHILE_COMPUTING.replace("FORKS", str(forks)),
                            {"RAYON_NUM_THREADS": workers}, watchdog=False))
    report = json.loads(out)
    assert report["codes"] == ["0"] * forks
    assert report["wrong"] == []
    assert report["rounds"] >= forks


FORK_CASES = {
    "pool-before-fork": '''
        ref = spectra(*big)
        pid = os.fork()
        if pid == 0:
            os._exit(0 if same(spectra(*big), ref) and same(spectra(*big), ref) else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert same(spectra(*big), ref)
    ''',
    "no-pool-before-fork": '''
        ref = serial_spectra(*big)
        pid = os.fork()
        if pid == 0:
            os._exit(0 if same(spectra(*big), ref) else 3)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert same(spectra(*big), ref)
    ''',
    "grandchild": '''
        ref = spectra(*big)
        pid = os.fork()
        if pid == 0:
            ok = same(spectra(*big), ref)
            inner = os.fork()
            if inner == 0:
                os._exit(0 if same(spectra(*big), ref) else 3)
            _, status = os.waitpid(inner, 0)
            os._exit(0 if ok and os.waitstatus_to_exitcode(status) == 0 else 4)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert same(spectra(*big), ref)
    ''',
    "multiprocessing-pool": '''
        import multiprocessing

        def digest(seed):
            return [part.tobytes() for part in spectra(*stack(1000, seed))]

        expected = [digest(seed) for seed in range(6)]
        with multiprocessing.get_context("fork").Pool(3) as workers:
            got = workers.map(digest, range(6))
        assert got == expected
        assert [digest(seed) for seed in range(6)] == expected
    ''',
    "multiprocessing-process-no-pool-yet": '''
        import multiprocessing

        ref = serial_spectra(*big)

        def child():
            sys.exit(0 if same(spectra(*big), ref) else 3)

        proc = multiprocessing.get_context("fork").Process(target=child)
        proc.start()
        proc.join(60)
        assert proc.exitcode == 0, proc.exitcode
        assert same(spectra(*big), ref)
    ''',
}


@pytest.mark.parametrize("case", list(FORK_CASES), ids=list(FORK_CASES))
def test_spectra_before_in_and_after_fork(case):
    body = "big = stack(1000, 3)\n" + textwrap.dedent(FORK_CASES[case]) + "print('done')\n"
    out = checked(run_child(body, {"RAYON_NUM_THREADS": "2"}, timeout=90, watchdog=False))
    assert out.strip() == "done"

