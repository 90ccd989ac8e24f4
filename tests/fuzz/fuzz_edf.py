"""EDF and BDF headers and data records: the input is an EDF file, or a BDF file when it starts
with BDF's version byte 0xFF."""

from reader_target import run

if __name__ == "__main__":
    run(lambda data: ["rec.bdf" if data[:1] == b"\xff" else "rec.edf"])
