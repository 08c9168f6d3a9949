"""evolve from several Python threads at once, in a process forked after a
parallel evolve (or after another library's OpenMP), when worker threads
cannot be created, and over many calls without growing the process."""

import multiprocessing
import os
import subprocess
import sys
import textwrap
import threading
import warnings

import numpy as np
import pytest
from reference import random_state, random_terms

from _velmora import Hamiltonian, PauliWord, evolve


def build(terms):
    return Hamiltonian([PauliWord(c, s) for c, s in terms])


RNG = np.random.default_rng(31)
# Large enough (2^15 amplitudes, 40 words) that a positive num_threads runs a team.
HAM = build(random_terms(RNG, 15, 40))
PSI = random_state(RNG, 15)
EXPECTED = evolve(HAM, PSI, 0.25, 0).tobytes()


def _child(queue, threads):
    queue.put(evolve(HAM, PSI, 0.25, threads).tobytes() == EXPECTED)


@pytest.mark.parametrize("threads", [2, 0, 1])
def test_forked_child_after_parallel_evolve(threads):
    assert evolve(HAM, PSI, 0.25, 2).tobytes() == EXPECTED  # the parent starts a team
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork of a threaded process
        child = ctx.Process(target=_child, args=(queue, threads))
        child.start()
    child.join(60)
    if child.is_alive():
        child.kill()
        pytest.fail("the forked child hung in evolve")
    assert child.exitcode == 0
    assert queue.get(timeout=5) is True
    assert evolve(HAM, PSI, 0.25, 2).tobytes() == EXPECTED  # the parent still has its team


def test_python_threads_share_one_hamiltonian():
    results = []
    errors = []

    def worker(threads):
        try:
            for _ in range(8):
                results.append(evolve(HAM, PSI, 0.25, threads).tobytes() == EXPECTED)
        except Exception as exc:  # pragma: no cover - reported below
            errors.append(exc)

    workers = [threading.Thread(target=worker, args=(t % 3,)) for t in range(6)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(120)
    assert not errors
    assert len(results) == 48 and all(results)


def run_script(script, env=None, timeout=120):
    """Runs `script` in a new interpreter; returns (exit code, stdout, stderr)."""
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=timeout, env={**os.environ, **(env or {})})
    return proc.returncode, proc.stdout, proc.stderr


PRELUDE = """
    import numpy as np
    from _velmora import Hamiltonian, PauliWord, evolve
    n = 16
    ham = Hamiltonian([PauliWord(1.0, "X" * n), PauliWord(0.5, "Z" * n), PauliWord(0.3, "Y" + "I" * (n - 1))])
    psi = np.zeros(2 ** n, dtype=complex); psi[0] = 1.0
    expected = evolve(ham, psi, 0.1, 0).tobytes()
"""

# Each case: the environment of the script. The script must print
# "same" (the team ran, or the call fell back to the calling thread with the
# same bytes) or the exception it raised, then "alive": the interpreter goes on.
THREAD_FAILURES = {
    # The OpenMP runtime ends the process when it cannot create a worker with
    # the requested stack; evolve must find out first.
    "omp-stacksize": {"OMP_STACKSIZE": "100G"},
    "gomp-stacksize": {"GOMP_STACKSIZE": "100000000M"},
}


@pytest.mark.parametrize("case", sorted(THREAD_FAILURES))
def test_thread_creation_failure_raises_instead_of_ending_the_process(case):
    code, out, err = run_script(PRELUDE + """
    try:
        print("same" if evolve(ham, psi, 0.1, 2).tobytes() == expected else "different")
    except (MemoryError, RuntimeError) as error:
        print(type(error).__name__, "|", error)
    print("alive", evolve(ham, psi, 0.1, 0).tobytes() == expected)
    """, THREAD_FAILURES[case])
    assert code == 0, err
    first, last = out.strip().splitlines()[0], out.strip().splitlines()[-1]
    assert last == "alive True"
    assert first == "same" or ("cannot start a team of 2 threads" in first
                               or first.startswith("MemoryError")), out


def test_thread_limit_of_a_non_root_user():
    """RLIMIT_NPROC below the team size (a container's pids limit) for a user
    that is not root: root is exempt from the limit."""
    if os.geteuid() != 0:
        pytest.skip("needs root to switch to an unprivileged user")
    code, out, err = run_script(PRELUDE + """
    import os, resource
    os.setgid(65534); os.setuid(65534)  # nobody
    threads = len(os.listdir("/proc/self/task"))
    resource.setrlimit(resource.RLIMIT_NPROC, (threads, threads))
    try:
        print("same" if evolve(ham, psi, 0.1, 2).tobytes() == expected else "different")
    except (MemoryError, RuntimeError) as error:
        print(type(error).__name__, "|", error)
    print("alive", evolve(ham, psi, 0.1, 0).tobytes() == expected)
    """)
    if "PermissionError" in err or "Operation not permitted" in err:
        pytest.skip("cannot switch to the user nobody here")
    assert code == 0, err
    lines = out.strip().splitlines()
    assert lines[-1] == "alive True"
    assert lines[0] == "same" or "cannot start a team of 2 threads" in lines[0], out


def test_forked_child_after_another_librarys_openmp_does_not_hang():
    """Another user of the same OpenMP runtime (libgomp through ctypes) starts
    its workers; a child forked afterwards must not wait for them."""
    code, out, err = run_script(PRELUDE + """
    import ctypes, ctypes.util, os, sys, warnings
    gomp = ctypes.CDLL(ctypes.util.find_library("gomp") or "libgomp.so.1")
    body = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(lambda data: None)
    gomp.GOMP_parallel(body, None, 2, 0)  # a parallel region of 2 threads
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        os._exit(0 if evolve(ham, psi, 0.1, 2).tobytes() == expected else 1)
    _, status = os.waitpid(pid, 0)
    print("child", os.waitstatus_to_exitcode(status))
    """, timeout=60)
    assert code == 0, err
    assert out.split() == ["child", "0"], out + err


def test_many_python_threads_do_not_multiply_worker_threads():
    """Calls hold the interpreter lock, so pools of workers for every calling
    thread buy nothing: at most a few calling threads own one."""
    code, out, err = run_script(PRELUDE + """
    import os, threading
    before = len(os.listdir("/proc/self/task"))
    ok = []
    called = threading.Barrier(13)
    release = threading.Event()
    def call():
        ok.append(evolve(ham, psi, 0.1, 4).tobytes() == expected)
        called.wait()
        release.wait()  # keep the thread, and any pool of workers it owns, alive
    workers = [threading.Thread(target=call) for _ in range(12)]
    for w in workers: w.start()
    called.wait()
    extra = len(os.listdir("/proc/self/task")) - before - 12
    release.set()
    for w in workers: w.join()
    print(all(ok) and len(ok) == 12, extra)
    """)
    assert code == 0, err
    same, extra = out.split()
    assert same == "True"
    # Pools of 3 workers for at most 2 calling threads (12 would make 36).
    assert int(extra) <= 2 * 3, out


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def test_soak_memory_stays_flat():
    """Thousands of calls over 0 to 16 qubits and both kernels; resident memory
    may not grow by more than 8 MiB once every size has been seen."""
    rng = np.random.default_rng(8)
    cases = []
    for q in list(range(0, 13)) + [16]:
        ham = build(random_terms(rng, q, q + 2)) if q else build([(0.5, "")])
        cases.append((ham, random_state(rng, q)))

    def sweep(rounds):
        for r in range(rounds):
            for i, (ham, psi) in enumerate(cases):
                if len(psi) == 2**16 and r % 40:
                    continue  # the 16-qubit case every 40th round
                evolve(ham, psi, 0.1 + 0.05j, (r + i) % 3)

    sweep(3)
    start = rss_bytes()
    sweep(400)  # 400 * 13 + 10 = 5210 calls
    assert rss_bytes() - start < 8 * 2**20


DEFAULT_THREADS = """
import multiprocessing, sys
from velmora._threads import available_cores, default_num_threads

def child(_):
    return default_num_threads()

if __name__ == "__main__":
    print(default_num_threads(), available_cores())
    with multiprocessing.get_context(sys.argv[1]).Pool(2) as pool:
        print(*pool.map(child, range(2)))
"""


@pytest.mark.parametrize("omp,context,expected_main,expected_child", [
    (None, "spawn", "cores", "0"),        # pool workers share the cores: calling thread
    (None, "fork", "cores", "0"),
    ("1", "spawn", "1", "1"),             # OMP_NUM_THREADS wins everywhere
    ("1,1", "fork", "1", "1"),            # nested form: its first level
    ("64", "spawn", "cores", "cores"),    # never more than the cores this process may use
    ("zero", "spawn", "cores", "0"),      # not a positive integer: ignored
])
def test_default_thread_count(tmp_path, omp, context, expected_main, expected_child):
    script = tmp_path / "threads.py"
    script.write_text(DEFAULT_THREADS)
    env = {k: v for k, v in os.environ.items() if k != "OMP_NUM_THREADS"}
    if omp is not None:
        env["OMP_NUM_THREADS"] = omp
    proc = subprocess.run([sys.executable, str(script), context], capture_output=True, text=True,
                          timeout=120, env=env, cwd=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    (main, cores), children = proc.stdout.split("\n")[0].split(), proc.stdout.split("\n")[1].split()
    want = {"cores": cores}
    assert main == want.get(expected_main, expected_main)
    assert children == [want.get(expected_child, expected_child)] * 2


@pytest.mark.parametrize("env, expected", [
    ({}, "passive"),                                   # velmora's default
    ({"OMP_WAIT_POLICY": "active"}, "active"),         # the user's choice stands
    ({"GOMP_SPINCOUNT": "1000"}, None),                # so does a spin count
])
def test_wait_policy_default(env, expected):
    base = {k: v for k, v in os.environ.items() if k not in ("OMP_WAIT_POLICY", "GOMP_SPINCOUNT")}
    proc = subprocess.run([sys.executable, "-c",
                           "import os, velmora; print(os.environ.get('OMP_WAIT_POLICY'))"],
                          capture_output=True, text=True, timeout=120, env={**base, **env},
                          cwd="/")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str(expected)
