"""The Daubechies and Symlet filter banks against PyWavelets, driven through wavelet_probe.

PyWavelets serves as an independent oracle only. Its `rec_lo` is the scaling filter h[0..N-1] in
the orientation the transform uses, and `pywt.dwt` with the same extension gives the same bands
without any shift: approx[k] = sum_i h[i] x[2k + i - (N-2)] is PyWavelets' cA[k] for every mode
(clamp/constant, wrap/periodic, reflect/symmetric, reflect_no_edge/reflect, zero/zero).
"""

import math
import os
import subprocess

import numpy as np
import pytest

pywt = pytest.importorskip("pywt", reason="PyWavelets is the oracle of these tests")

TOOLS = os.environ.get("VANTREL_TEST_TOOLS")
if not TOOLS:
    pytest.skip(
        "VANTREL_TEST_TOOLS is not set; point it at the directory holding the wavelet_probe "
        "executable (e.g. build/<dir>/tests/cpp)",
        allow_module_level=True,
    )
PROBE = os.path.join(TOOLS, "wavelet_probe")
if not os.access(PROBE, os.X_OK):
    pytest.skip(f"{PROBE} is not an executable; build the C++ test tools first",
                allow_module_level=True)

MEMBERS = [("db", k) for k in range(1, 25)] + [("sym", k) for k in range(2, 21)]
PYWT_MODE = {
    "clamp": "constant",
    "wrap": "periodic",
    "reflect": "symmetric",
    "reflect_no_edge": "reflect",
    "zero": "zero",
}
# Kernels specialised by length that repeat the edge sample on the left under reflect_no_edge.
LEFT_AS_REFLECT_TAPS = {4, 8, 10, 12, 16}


def run_probe(*args, stdin=""):
    done = subprocess.run([PROBE, *map(str, args)], input=stdin, capture_output=True, text=True,
                          check=True)
    return done.stdout


def forward(family, order, mode, x, general=False):
    """Approximation, details and inverse of one level of the float32 signal x."""
    text = " ".join(repr(float(v)) for v in x)
    args = ["forward", family, order, mode] + (["general"] if general else [])
    lines = run_probe(*args, stdin=text).splitlines()
    return [np.array([float(v) for v in line.split()], dtype=np.float64) for line in lines]


def signal(n, seed):
    return np.random.default_rng(seed).uniform(-1.0, 1.0, n).astype(np.float32)


class TestTables:
    @pytest.mark.parametrize("family,order", MEMBERS)
    def test_every_entry_equals_pywavelets(self, family, order):
        table = [float(v) for v in run_probe("table", family, order).split()]
        assert table == list(pywt.Wavelet(f"{family}{order}").rec_lo)
        assert len(table) == 2 * order
        assert math.fsum(table) == pytest.approx(math.sqrt(2.0), abs=1e-12)
        # The published tables of the long Symlets are orthonormal to about 1e-11.
        assert math.fsum(v * v for v in table) == pytest.approx(1.0, abs=1e-10)

    @pytest.mark.parametrize(
        "family,order,expected",
        [
            ("db", 1, [0.7071067811865476, 0.7071067811865476]),
            ("db", 2, [0.48296291314453416, 0.8365163037378079, 0.2241438680420134,
                       -0.12940952255126037]),
            ("sym", 2, [0.48296291314469025, 0.836516303737469, 0.22414386804185735,
                        -0.12940952255092145]),
            ("db", 4, [0.2303778133088965, 0.7148465705529157, 0.6308807679298589,
                       -0.027983769416859854, -0.18703481171909309, 0.030841381835560764,
                       0.0328830116668852, -0.010597401785069032]),
            ("sym", 4, [0.0322231006040427, -0.012603967262037833, -0.09921954357684722,
                        0.29785779560527736, 0.8037387518059161, 0.49761866763201545,
                        -0.02963552764599851, -0.07576571478927333]),
        ],
    )
    def test_published_digits(self, family, order, expected):
        assert [float(v) for v in run_probe("table", family, order).split()] == expected


CROSS_MEMBERS = [("db", 1), ("db", 2), ("db", 3), ("db", 4), ("db", 5), ("db", 6), ("db", 7),
                 ("db", 8), ("db", 24), ("sym", 2), ("sym", 4), ("sym", 9), ("sym", 20)]


class TestForwardAgainstPyWavelets:
    @pytest.mark.parametrize("general", [False, True], ids=["factory", "general"])
    @pytest.mark.parametrize("mode", sorted(PYWT_MODE))
    @pytest.mark.parametrize("family,order", CROSS_MEMBERS)
    def test_bands_and_inverse(self, family, order, mode, general):
        name = f"{family}{order}"
        taps = pywt.Wavelet(name).dec_len
        for n in (taps, taps + 1, 64, 101):
            x = signal(n, seed=n + taps)
            approx, details, inverse = forward(family, order, mode, x, general)
            want_a, want_d = pywt.dwt(x.astype(np.float64), name, mode=PYWT_MODE[mode])
            head = 0
            if mode == "reflect_no_edge" and not general and taps in LEFT_AS_REFLECT_TAPS:
                # The first (N-2)/2 windows reach only the left margin, built as by "reflect".
                head = (taps - 2) // 2
                left_a, left_d = pywt.dwt(x.astype(np.float64), name, mode="symmetric")
                np.testing.assert_allclose(approx[:head], left_a[:head], rtol=0, atol=1e-5)
                np.testing.assert_allclose(details[:head], left_d[:head], rtol=0, atol=1e-5)
            assert len(approx) == len(want_a) == (n + taps - 1) // 2
            np.testing.assert_allclose(approx[head:], want_a[head:], rtol=0, atol=1e-5)
            np.testing.assert_allclose(details[head:], want_d[head:], rtol=0, atol=1e-5)
            assert len(inverse) == n + n % 2
            np.testing.assert_allclose(inverse[:n], x, rtol=0, atol=1e-5)

    @pytest.mark.parametrize("name", ["db4", "sym4"])
    def test_periodization_is_the_same_bands_rotated(self, name):
        # PyWavelets' periodised windows start N/2 - 1 samples before 2k, ours N - 2: ours are
        # its coefficients of the signal delayed by N/2 - 1 = 3 samples, and for even n they
        # repeat with period n/2 over the K = n/2 + N/2 - 1 wrap-mode outputs.
        n = 40
        x = signal(n, seed=5)
        approx, details, _ = forward(name[:-1], name[-1], "wrap", x)
        delayed = np.roll(x.astype(np.float64), 3)
        cA, cD = pywt.dwt(delayed, name, mode="periodization")
        index = np.arange(len(approx)) % (n // 2)
        np.testing.assert_allclose(approx, cA[index], rtol=0, atol=1e-5)
        np.testing.assert_allclose(details, cD[index], rtol=0, atol=1e-5)

    def test_too_short_input_is_refused(self):
        done = subprocess.run([PROBE, "forward", "db", "4", "wrap"], input="1 2 3 4 5 6 7",
                              capture_output=True, text=True)
        assert done.returncode == 1
        assert done.stderr.strip() == "Input size 7 can't be less than 8"
