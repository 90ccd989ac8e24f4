"""Small hostile containers cannot make decompress_signal claim much memory.

A container of at most 1 KiB may announce 2^31 - 1 samples, ten levels and any coder; decoding it
must neither touch nor reserve more than 64 MiB before it returns or fails. The containers are
decoded in a child interpreter that measures the peak resident size each one causes over the
resident size before it, and whose address space is capped 64 MiB above what it had mapped after
the imports, so a large reservation fails (and kills the child) even if it is never touched.
"""

import pickle
import re
import subprocess
import sys
import zlib

import numpy as np
import pytest

import vantrel
from vantrel_tools.core.names import CODER_CODES, WAVELET_TAGS
from vantrel_tools.core.container import HEADER_SIZE, ContainerHeader, unpack_header

LIMIT = 64 << 20
SMALL = 1024
HUGE = (1 << 31) - 1


def container(payload, method="cdf97", levels=10, coder="cmodel", sample_count=HUGE):
    header = ContainerHeader(wavelet_code=WAVELET_TAGS[method], levels=levels, scale=11,
                             coder=CODER_CODES[coder], sample_count=sample_count, signal_min=0.0,
                             signal_max=1.0, norm_mean=0.0, payload_len=len(payload),
                             quant_multiplier=2048.0)
    return header.to_bytes() + payload


def leb128(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def constant_container(method, coder, n):
    options = vantrel.CompressionOptions(method=method, coder=coder)
    return vantrel.compress_signal(np.full(n, 0.25, np.float32), options)


def saturated_coded_part():
    """The coded part of a cmodel stream of one long band of zeros: the cheapest flags there are."""
    packed = constant_container("cdf53", "cmodel", 1_400_000)
    num_bands = packed[HEADER_SIZE]
    return packed[HEADER_SIZE + 1 + num_bands:]


def hostile_containers():
    """(name, container, decodes) for every method and coder: huge claims over tiny payloads,
    and the longest legitimate signals a 1 KiB container describes."""
    out = []
    coded = saturated_coded_part()
    bomb = zlib.compressobj(9, zlib.DEFLATED, -15)
    bomb = bomb.compress(bytes(950_000)) + bomb.flush()
    # A split stream of 2^28 pairs whose planes hold saturated zeros.
    plane = constant_container("cdf97", "arans", 88_000)[HEADER_SIZE:]
    plane = plane[2 + len(leb128(88_000)):]
    arans = b"\0\x08" + leb128(1 << 28) + plane[: len(plane) - 40]
    for method in WAVELET_TAGS:
        for levels in (1, 10):
            cm = bytes([levels + 1]) + bytes([1] * (levels + 1)) + coded
            out.append((f"{method}-cmodel-L{levels}",
                        container(cm[:SMALL - HEADER_SIZE], method, levels, "cmodel"), False))
            out.append((f"{method}-arans-L{levels}", container(arans, method, levels, "arans"),
                        False))
            out.append((f"{method}-deflate-L{levels}", container(bomb, method, levels,
                                                                  "deflate"), False))
            out.append((f"{method}-state-only-L{levels}",
                        container(bytes([levels + 1]) + bytes(levels + 1) + b"\0\0\1\0", method,
                                  levels), False))
        for coder, n in (("cmodel", 1_400_000), ("arans", 88_000), ("deflate", 490_000)):
            out.append((f"{method}-{coder}-constant", constant_container(method, coder, n), True))
    for name, packed, _ in out:
        assert len(packed) <= SMALL, name
    return out


CHILD = r"""
import pickle, resource, sys
import numpy as np
import vantrel

containers = pickle.load(sys.stdin.buffer)
vantrel.decompress_signal(vantrel.compress_signal(np.linspace(0, 1, 64, dtype=np.float32)))

def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise LookupError(field)

def reset_peak():
    # Writing 5 resets the peak resident size (VmHWM) to the current one.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")

limit = int(sys.argv[1])
resource.setrlimit(resource.RLIMIT_AS, (status_bytes("VmSize") + limit, resource.RLIM_INFINITY))
outcomes = []
for name, packed in containers:
    reset_peak()
    before = status_bytes("VmRSS")
    try:
        out = vantrel.decompress_signal(packed)
        result = (len(out), None)
        del out
    except ValueError as e:
        result = (None, str(e))
    outcomes.append((name, status_bytes("VmHWM") - before) + result)
pickle.dump(outcomes, sys.stdout.buffer)
"""


def run_child(containers):
    result = subprocess.run([sys.executable, "-c", CHILD,
                             str(LIMIT)],
                            input=pickle.dumps(containers), capture_output=True, check=False)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return pickle.loads(result.stdout)


@pytest.fixture(scope="module")
def cases():
    return hostile_containers()


class TestHostileContainers:
    def test_peak_memory_stays_within_the_limit(self, cases):
        outcomes = run_child([(name, packed) for name, packed, _ in cases])
        worst = max(outcomes, key=lambda o: o[1])
        print(f"\nlargest peak RSS growth over {len(cases)} containers of at most {SMALL} bytes: "
              f"{worst[1] / (1 << 20):.1f} MiB ({worst[0]})")
        for (name, packed, decodes), (_, growth, length, error) in zip(cases, outcomes):
            assert growth < LIMIT, (name, growth)
            if decodes:
                assert error is None, name
                assert length == unpack_header(packed).sample_count, name
            else:
                assert length is None, name
                # Every claim fails as the decoding would, not as a failed reservation.
                assert error == "Can't decompress data, reason: Stream truncated", (name, error)


@pytest.mark.parametrize("method", WAVELET_TAGS)
def test_byte_plane_coder_refuses_what_its_decoder_could_not_read(method):
    # 2^28 + 1 samples hold more coefficients than a byte-plane payload can carry. The refusal
    # comes before any sample is read, so the zero pages of the array are never touched.
    samples = np.zeros((1 << 28) + 1, np.float32)
    options = vantrel.CompressionOptions(method=method, coder="arans")
    with pytest.raises(ValueError) as raised:
        vantrel.compress_signal(samples, options)
    assert re.fullmatch(
        r"Unsupported compression configuration 'The arans coder holds at most 268435456 "
        r"coefficients, but this signal has 26843\d{4}; use the cmodel coder'",
        str(raised.value),
    )
