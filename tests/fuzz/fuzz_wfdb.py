"""WFDB records: the input is a header ``rec.hea``, its signal file ``rec.dat`` and an annotation
file ``rec.atr`` (see `reader_target.split_files`)."""

from reader_target import run

if __name__ == "__main__":
    run(lambda data: ["rec.hea", "rec.dat", "rec.atr"])
