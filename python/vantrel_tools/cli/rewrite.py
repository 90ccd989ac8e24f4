"""``vantrel compress rec.h5 -o rec.vtrl.h5``: a whole HDF5 or NWB file rewritten with its large
numeric datasets filtered by vantrel (``store.hdf5_file``), written to a temporary file beside the
output and renamed into place."""

from __future__ import annotations

import argparse
from typing import Any

from ..core.options import Coding, Targeted
from ..io import format_of, split_dataset
from .errors import CliError
from .run import planned, print_lines

HDF5_SUFFIXES = (".h5", ".hdf5", ".nwb")


def rewrites_hdf5(args: argparse.Namespace) -> bool:
    """Whether compress is asked to rewrite one whole HDF5 file into another (-o FILE.h5,
    FILE.hdf5 or FILE.nwb, no dataset named on either side)."""
    output = args.output
    if output is None or len(args.inputs) != 1 or args.dataset is not None:
        return False
    source, dataset = split_dataset(args.inputs[0])
    return (dataset is None and format_of(source) == "hdf5"
            and output.lower().endswith(HDF5_SUFFIXES) and split_dataset(output)[1] is None)


def rewrite_hdf5(args: argparse.Namespace, coding: Coding) -> int:
    source, output = args.inputs[0], args.output
    given = [flag for flag, value in (("--cutoff", args.cutoff), ("--coder", args.coder),
                                      ("--multiplier", args.multiplier)) if value is not None]
    if given:
        raise CliError(f"{', '.join(given)}: not available when rewriting an HDF5 file, whose "
                       "filter takes --method and --scale or a quality target")
    try:
        from ..hdf5 import Vantrel
        from ..store.hdf5_file import DEFAULT_MIN_SIZE, rewrite
    except ImportError as exc:
        raise CliError(str(exc)) from None
    if isinstance(coding, Targeted):
        target: dict[str, Any] = {coding.target.metric: coding.target.value}
        keywords = Vantrel(method=coding.method, **target)
    else:
        keywords = Vantrel(method=coding.method, scale=coding.scale)
    min_size = DEFAULT_MIN_SIZE if args.min_size is None else args.min_size
    with planned(args, "compress") as (plan, progress):
        plan.add(output, source)
        temporary = plan.stage(output, b"")
        try:
            filtered = rewrite(source, temporary, keywords, min_size)
        except (OSError, ValueError) as exc:
            raise CliError(f"{source}: {exc}") from None
        progress.advance()
    raw = sum(d.raw_bytes for d in filtered)
    stored = sum(d.stored_bytes for d in filtered)
    lines = [f"  {d.path} {d.dtype} {d.shape}: ratio {d.raw_bytes / max(d.stored_bytes, 1):.2f}"
             for d in filtered]
    plural = "" if len(filtered) == 1 else "s"
    summary = (f"{source} -> {output}; {len(filtered)} dataset{plural} filtered, {raw} -> "
               f"{stored} bytes (ratio {raw / max(stored, 1):.2f}); everything else copied as it "
               "was" if filtered else
               f"{source} -> {output}; no numeric dataset of {min_size} bytes or more to filter; "
               "everything copied as it was")
    print_lines([summary, *lines], args.quiet)
    return 0
