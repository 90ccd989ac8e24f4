"""Many threads compressing and decompressing at once give what one thread gives.

The module declares that it does not need the global interpreter lock: on an interpreter built
without it (3.13t and later) the threads below really run the codec at the same time.
"""

import os
import subprocess
import sys
import sysconfig
import textwrap
import threading

import numpy as np
import pytest

from vantrel import CompressionOptions, compress_signal, decompress_signal
from vantrel_tools.core.names import ENTROPY_CODERS, WAVELET_METHODS

NUM_THREADS = 8
ROUNDS = 20


def job(i):
    """Thread i's own signal and options, different for every thread."""
    rng = np.random.default_rng(i)
    n = 500 + 97 * i
    t = np.arange(n)
    signal = (np.sin(t / (5.0 + i)) + 0.05 * rng.standard_normal(n)).astype(np.float32)
    options = CompressionOptions(method=WAVELET_METHODS[i % len(WAVELET_METHODS)],
                                 coder=ENTROPY_CODERS[i % len(ENTROPY_CODERS)], scale=7 + i % 6)
    return signal, options


def run_in_threads(work):
    results = [None] * NUM_THREADS
    errors = []
    barrier = threading.Barrier(NUM_THREADS)

    def run(i):
        try:
            barrier.wait()
            results[i] = work(i)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(NUM_THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    return results


@pytest.fixture(scope="module")
def expected():
    out = []
    for i in range(NUM_THREADS):
        signal, options = job(i)
        packed = compress_signal(signal, options)
        out.append((packed, decompress_signal(packed).tobytes()))
    return out


class TestThreads:
    @pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                        reason="this interpreter always has the global lock")
    def test_import_leaves_the_gil_off(self):
        # A free-threaded interpreter turns the lock back on, with a RuntimeWarning naming the
        # module, when it imports an extension that does not declare it can run without it.
        # NumPy is imported first so that only vantrel's own declaration is judged.
        code = textwrap.dedent("""
            import sys, warnings
            import numpy
            before = sys._is_gil_enabled()
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                import vantrel
            assert not [w for w in caught if "vantrel" in str(w.message)], caught
            assert sys._is_gil_enabled() == before
        """)
        env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
        result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                                text=True)
        assert result.returncode == 0, result.stderr

    def test_same_bytes_as_one_thread(self, expected):
        def work(i):
            signal, options = job(i)
            seen = set()
            for _ in range(ROUNDS):
                packed = compress_signal(signal, options)
                seen.add((packed, decompress_signal(packed).tobytes()))
            return seen

        for i, seen in enumerate(run_in_threads(work)):
            assert seen == {expected[i]}, f"thread {i}"

    def test_shared_inputs(self, expected):
        # Every thread reads the same array and the same container.
        signal, options = job(0)
        packed, samples = expected[0]

        def work(_):
            return {(compress_signal(signal, options), decompress_signal(packed).tobytes())
                    for _ in range(ROUNDS)}

        for seen in run_in_threads(work):
            assert seen == {(packed, samples)}

    def test_failures_do_not_disturb_other_threads(self, expected):
        def work(i):
            signal, options = job(i)
            for _ in range(ROUNDS):
                with pytest.raises(ValueError):
                    decompress_signal(expected[i][0][:60])
                with pytest.raises(TypeError):
                    compress_signal(signal[::2], options)
            return compress_signal(signal, options)

        assert run_in_threads(work) == [packed for packed, _ in expected]
