"""Samples as text: one number per line in one column (or a chosen column of several), an
optional header line naming the columns, ``#`` starting a comment line."""

from __future__ import annotations

import csv
import re

import numpy as np

from .arrays import one_line, plural
from .types import Signal, SignalFileError

# Column separators of text input, tried in this order on the first line that is not a comment
# (the semicolon before the comma: files separated by semicolons often write decimal commas).
_TEXT_DELIMITERS = ("\t", ";", ",")
# A cell that starts like a number is a damaged sample, never a column name.
_NUMBER_START = re.compile(r"[+-]?\.?\d")


def _text_cells(line: str, delimiter: str | None) -> list[str]:
    if delimiter is None:
        return line.split()
    return [cell.strip() for cell in next(csv.reader([line], delimiter=delimiter))]


def _is_header(cells: list[str]) -> bool:
    """Whether the first row names the columns: no cell is or starts like a number."""
    for cell in cells:
        if _NUMBER_START.match(cell):
            return False
        try:
            float(cell)
        except ValueError:
            continue
        return False
    return any(cells)


def _column_index(
    column: str | int | None, names: list[str] | None, width: int, path: str, lineno: int
) -> int:
    listing = f" (columns: {', '.join(names)})" if names else ""
    if column is None:
        if width == 1:
            return 0
        raise SignalFileError(
            f"{path}: line {lineno} has {width} columns{listing}; choose one with --column NAME "
            "or --column INDEX (from 0)"
        )
    if isinstance(column, int):
        if 0 <= column < width:
            return column
        raise SignalFileError(
            f"{path}: no column {column}: line {lineno} has {plural(width, 'column')}, "
            "counted from 0"
        )
    if names is None:
        raise SignalFileError(f"{path}: no header line names the columns; give --column an index")
    if column not in names:
        raise SignalFileError(f"{path}: no column named {column!r}{listing}")
    return names.index(column)


def read_text(data: bytes, path: str, column: str | int | None) -> Signal:
    """The chosen column of a text file's bytes (the only one, when `column` is None)."""
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise SignalFileError(f"{path}: not a UTF-8 text file") from None
    values: list[float] = []
    delimiter: str | None = None
    first_row = 0  # the line number of the first row, 0 before it
    width = index = 0
    names: list[str] | None = None
    where = ""  # the chosen column, for messages about a file with several
    gap = 0  # the first blank line after a sample, 0 while there is none
    for lineno, line in enumerate(text.splitlines(), 1):
        stripped = line.strip()
        if stripped.startswith("#"):
            continue
        if not stripped:
            gap = gap or (lineno if values else 0)
            continue
        if not first_row:
            first_row = lineno
            delimiter = next((d for d in _TEXT_DELIMITERS if d in stripped), None)
        try:
            cells = _text_cells(stripped, delimiter)
        except csv.Error as exc:  # a cell beyond the csv module's size limit
            raise SignalFileError(f"{path}: line {lineno}: {one_line(exc)}") from None
        if lineno == first_row:
            width = len(cells)
            names = cells if _is_header(cells) else None
            index = _column_index(column, names, width, path, lineno)
            if width > 1:
                where = f" in column {names[index] if names else index}"
            if names is not None:
                continue
        elif len(cells) != width:
            raise SignalFileError(
                f"{path}: line {lineno} has {plural(len(cells), 'column')}, "
                f"line {first_row} has {width}"
            )
        if gap:
            # A blank line between samples is a missing sample; skipping it would shift time.
            raise SignalFileError(f"{path}: line {gap}: empty line between samples")
        cell = cells[index]
        if not cell:
            raise SignalFileError(f"{path}: line {lineno}: empty cell{where}")
        try:
            values.append(float(cell))
        except ValueError:
            raise SignalFileError(
                f"{path}: line {lineno}: {cell!r}{where} is not a number"
            ) from None
    description = "one-column text"
    if width > 1:
        description = f"text column {names[index]!r}" if names else f"text column {index}"
    return Signal([np.array(values, dtype=np.float64)], None, description,
                  stored_bytes=len(data))
