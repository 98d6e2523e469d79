"""Reading point files for the examples.

A point file holds one point per line.  Coordinates are separated by commas
or by blanks (whichever the first point uses), '#' starts a comment, blank
lines are skipped, and the first line may be a header of column names such
as ``x,y``.  The number of columns is the dimension.  Every problem is
reported as an InputError whose text starts with ``line K:``.
"""

import numpy as np


class InputError(Exception):
    """A problem with the user's input, reported as one line."""


def _fields(text, delimiter):
    return [x.strip() for x in text.split(delimiter)]


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def _decode(path):
    """The lines of the file as text; a bad byte is reported on its own line."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise InputError(f"line 1: cannot read: {e.strerror or e}") from None
    try:
        return raw.decode("utf-8-sig").splitlines()
    except UnicodeDecodeError as e:
        line = raw.count(b"\n", 0, e.start) + 1
        raise InputError(f"line {line}: cannot read: not UTF-8 text") from None


def _data_lines(lines):
    """(line number, text without comment) of the lines that hold something."""
    out = []
    for number, text in enumerate(lines, 1):
        text = text.split("#", 1)[0].strip()
        if text:
            out.append((number, text))
    return out


def _parse_slowly(numbered, delimiter, width):
    """Rows of floats, checked line by line so that an error names its line."""
    rows = []
    for number, text in numbered:
        fields = _fields(text, delimiter)
        if len(fields) != width:
            raise InputError(f"line {number}: expected {width} numbers, got {len(fields)}")
        bad = next((x for x in fields if not _is_number(x)), None)
        if bad is not None:
            raise InputError(f"line {number}: not a number: {bad!r}")
        rows.append([float(x) for x in fields])
    return np.array(rows, dtype=float).reshape(len(rows), width)


def read_points(path):
    """The points of the file at `path` as an (n, d) float array.

    Raises InputError for a file that cannot be read, is not UTF-8, holds no
    points, has rows of differing length, fields that are not numbers,
    values that are not finite, or two equal points.
    """
    lines = _decode(path)
    numbered = _data_lines(lines)
    if not numbered:
        raise InputError(f"line {max(len(lines), 1)}: no points in file")

    header = None
    first_fields = numbered[0][1].replace(",", " ").split()
    if not any(_is_number(x) for x in first_fields):
        header, numbered = numbered[0], numbered[1:]
        if not numbered:
            raise InputError(f"line {max(len(lines), 1)}: no points in file")
    delimiter = "," if "," in numbered[0][1] else None
    width = len(_fields(numbered[0][1], delimiter))
    if header is not None and len(_fields(header[1], delimiter)) != width:
        names = len(_fields(header[1], delimiter))
        raise InputError(f"line {header[0]}: the header names {names} columns, the points have {width}")

    try:  # fast path; on any complaint the slow path finds the line at fault
        xy = np.loadtxt([text for _, text in numbered], delimiter=delimiter, comments=None, ndmin=2)
        if xy.shape != (len(numbered), width):
            raise ValueError("shape")
    except ValueError:
        xy = _parse_slowly(numbered, delimiter, width)

    finite = np.isfinite(xy).all(axis=1)
    if not finite.all():
        number, text = numbered[int(np.argmin(finite))]
        raise InputError(f"line {number}: coordinates must be finite, got {text!r}")

    # 0.0 and -0.0 are the same point; adding 0.0 makes their bytes equal too.
    rows = np.ascontiguousarray(xy + 0.0)
    keys = rows.view(np.dtype((np.void, rows.dtype.itemsize * width))).ravel()
    _, first, inverse = np.unique(keys, return_index=True, return_inverse=True)
    earlier = first[inverse.ravel()]
    repeated = np.flatnonzero(earlier != np.arange(len(rows)))
    if repeated.size:
        k = int(repeated[0])
        raise InputError(f"line {numbered[k][0]}: duplicate of the point on line {numbered[int(earlier[k])][0]}")
    return xy

