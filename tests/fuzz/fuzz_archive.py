"""Archives, in both forms: an input whose first byte is even is a zip archive (the rest of the
input), an odd one the files of a two-channel directory archive (`ARCHIVE_FILES`, joined as
``reader_target.split_files`` splits them). Reading it, listed or decoded, may succeed or raise
`SignalFileError` or `OSError`; any other exception is a finding, and so is a small archive that
makes the reader claim more than the RSS limit."""

import os
import shutil
import sys
import tempfile

from reader_target import split_files

ARCHIVE_FILES = ["zarr.json", "ch0/zarr.json", "ch0/c/0", "ch1/zarr.json", "ch1/c/0"]


def main() -> None:
    import atheris

    with atheris.instrument_imports(include=["vantrel_tools.store", "zipfile"]):
        from vantrel_tools.io import SignalFileError
        from vantrel_tools.store.archive import read_archive

    scratch = tempfile.mkdtemp(prefix="vantrel-fuzz-")

    def one_input(data: bytes) -> None:
        if not data:
            return
        if data[0] % 2 == 0:
            path = os.path.join(scratch, "rec.vtrl.zip")
            with open(path, "wb") as f:
                f.write(data[1:])
        else:
            path = os.path.join(scratch, "rec.zarr")
            shutil.rmtree(path, ignore_errors=True)
            for name, content in zip(ARCHIVE_FILES, split_files(data[1:], len(ARCHIVE_FILES)),
                                     strict=True):
                os.makedirs(os.path.dirname(os.path.join(path, name)), exist_ok=True)
                with open(os.path.join(path, name), "wb") as f:
                    f.write(content)
        for decode in (False, True):
            try:
                read_archive(path, decode=decode)
            except (SignalFileError, OSError):
                pass

    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
