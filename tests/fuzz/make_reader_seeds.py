"""Writes the seed corpora of the recording readers' fuzz targets (small valid files made with
each format's own library, and a few edited ones) into corpus/fuzz_{edf,wfdb,audio,hdf5}/.

    pip install ".[formats]" && python3 tests/fuzz/make_reader_seeds.py
"""

import datetime
import io
import json
import os
import tempfile

import edfio
import h5py
import numpy as np
import soundfile as sf
import wfdb

from reader_target import join_files

HERE = os.path.dirname(os.path.abspath(__file__))
x = np.sin(np.arange(64) / 5.0)


def edf_seeds():
    signals = [edfio.EdfSignal(x, 16, label="Fz", physical_range=(-1, 1)),
               edfio.EdfSignal(x[:32], 8, label="Resp", physical_range=(-2, 2),
                               digital_range=(-2048, 2047))]
    for kind, make, annotations in ((edfio.Edf, edfio.EdfSignal, None),
                                    (edfio.Edf, edfio.EdfSignal, [edfio.EdfAnnotation(1, 1, "a")]),
                                    (edfio.Bdf, edfio.BdfSignal, [])):
        out = io.BytesIO()
        kind([make(s.data, s.sampling_frequency, label=s.label,
                   physical_range=(s.physical_min, s.physical_max)) for s in signals],
             starttime=datetime.time(4, 5, 6, 250000), annotations=annotations).write(out)
        yield out.getvalue()


def wfdb_seeds():
    with tempfile.TemporaryDirectory() as d:
        wfdb.wrsamp("rec", fs=128, units=["mV", "mV"], sig_name=["I", "II"],
                    e_d_signal=[np.arange(-64, 64), np.arange(-128, 128)], samps_per_frame=[1, 2],
                    fmt=["212", "212"], adc_gain=[200.0, 100.0], baseline=[0, 5], write_dir=d)
        wfdb.wrann("rec", "atr", np.array([3, 9, 20]), symbol=["N", "V", "N"], fs=128,
                   write_dir=d)
        files = [open(os.path.join(d, f"rec.{e}"), "rb").read() for e in ("hea", "dat", "atr")]
    yield join_files(files)


def audio_seeds():
    for kind, subtype in (("WAV", "PCM_16"), ("WAV", "FLOAT"), ("FLAC", "PCM_16"),
                          ("OGG", "VORBIS")):
        out = io.BytesIO()
        sf.write(out, 0.5 * np.stack([x, -x], 1), 8000, format=kind, subtype=subtype)
        yield out.getvalue()


def hdf5_seeds():
    for make in (lambda f: f.create_dataset("x", data=(x * 100).astype(np.int16)),
                 lambda f: f.create_dataset("x", data=np.stack([x, x], 1), chunks=(16, 2),
                                            compression="gzip").attrs.create("rate", 250.0)):
        out = io.BytesIO()
        with h5py.File(out, "w") as f:
            make(f)
        yield out.getvalue() + b"\0"


def archive_seeds():
    """Both forms of a two-channel archive (see fuzz_archive.py), and the directory form as
    format 1 wrote it."""
    import vantrel_tools
    from vantrel_tools.core.options import Options
    from vantrel_tools.io import ChannelInfo, Signal
    from vantrel_tools.store.archive import write_archive

    from fuzz_archive import ARCHIVE_FILES

    signal = Signal([x.astype(np.float32), x[:32].astype(np.float32)],
                    info=[ChannelInfo("Fz", 16.0, "uV"), ChannelInfo("Resp", 8.0, "mV")],
                    source="edf", description="EDF+")
    containers = [vantrel_tools.compress(c) for c in signal.channels]
    with tempfile.TemporaryDirectory() as d:
        write_archive(os.path.join(d, "a.zip"), signal, containers, Options())
        yield b"\0" + open(os.path.join(d, "a.zip"), "rb").read()
        write_archive(os.path.join(d, "a.zarr"), signal, containers, Options())
        files = [open(os.path.join(d, "a.zarr", name), "rb").read() for name in ARCHIVE_FILES]
    yield b"\1" + join_files(files)
    group = json.loads(files[0])
    group["attributes"]["vantrel"].pop("metadata_crc32c")
    group["attributes"]["vantrel"]["format"] = 1
    yield b"\1" + join_files([json.dumps(group, indent=2).encode(), *files[1:]])


for target, seeds in (("fuzz_edf", edf_seeds), ("fuzz_wfdb", wfdb_seeds),
                      ("fuzz_audio", audio_seeds), ("fuzz_hdf5", hdf5_seeds),
                      ("fuzz_archive", archive_seeds)):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for k, seed in enumerate(seeds()):
        with open(os.path.join(folder, f"seed-{k}"), "wb") as f:
            f.write(seed)
