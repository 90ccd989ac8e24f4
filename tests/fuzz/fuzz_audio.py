"""Audio headers through libsndfile: the input is a WAV, FLAC or Ogg file, by its magic bytes."""

from reader_target import run

SUFFIX = {b"RIFF": "wav", b"RIFX": "wav", b"fLaC": "flac", b"OggS": "ogg"}

if __name__ == "__main__":
    run(lambda data: [f"a.{SUFFIX.get(data[:4], 'wav')}"])
