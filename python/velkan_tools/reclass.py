"""Land cover to condition and traversal: a table that maps each integer class of a land-cover
raster to a condition and, optionally, a traversal value (an empty condition makes the class no
data), read from a CSV file (`class,condition[,traversal][,name]`) or given as a mapping.

>>> table = ReclassTable.from_mapping({1: 0.75, 2: (0.5, 0.25), 3: None})
>>> condition, traversal = table.apply(np.array([[1, 2], [3, 2]]))
>>> condition.tolist(), traversal.tolist()
([[0.75, 0.5], [nan, 0.5]], [[nan, 0.25], [nan, 0.25]])
"""
import csv
import math
from dataclasses import dataclass

import numpy as np

from .errors import InputError

COLUMNS = ("class", "condition", "traversal", "name")


def as_fraction(text, what):
    """A table's value as float32; empty is NaN (no data)."""
    if text is None or (isinstance(text, str) and not text.strip()):
        return np.float32(np.nan)
    try:
        value = float(text)
    except (TypeError, ValueError):
        raise InputError(f"{what}: {text!r} is not a number") from None
    if math.isinf(value):
        raise InputError(f"{what}: {text!r} is not finite")
    return np.float32(value)


@dataclass(frozen=True)
class ReclassTable:
    """Sorted classes with their condition and traversal (NaN where the table gives none)."""

    classes: np.ndarray  # int64, sorted, unique
    condition: np.ndarray  # float32
    traversal: np.ndarray  # float32
    names: tuple
    has_traversal: bool
    source: str = "the table"  # where it came from, in words
    path: str | None = None  # its CSV file

    @classmethod
    def from_rows(cls, rows, source, has_traversal, path=None):
        """From (class, condition, traversal, name) rows; a class given twice is refused."""
        rows = sorted(rows, key=lambda row: row[0])
        classes = [row[0] for row in rows]
        if twice := sorted({c for c in classes if classes.count(c) > 1}):
            raise InputError(f"{source}: class {twice[0]} is given more than once")
        return cls(np.array(classes, np.int64), np.array([r[1] for r in rows], np.float32),
                   np.array([r[2] for r in rows], np.float32), tuple(r[3] for r in rows), has_traversal, source,
                   path)

    @classmethod
    def read_csv(cls, path):
        """A table from a CSV file with a header naming its columns: class, condition, and optionally
        traversal and name."""
        try:
            with open(path, newline="") as source:
                reader = csv.DictReader(source)
                header = [name.strip().lower() for name in reader.fieldnames or []]
                rows = [{k.strip().lower(): v for k, v in row.items() if k} for row in reader]
        except OSError as error:
            raise InputError(f"--reclass {path}: cannot read it ({error.strerror})") from None
        if "class" not in header or "condition" not in header or set(header) - set(COLUMNS):
            raise InputError(f"--reclass {path}: give a CSV file whose header is class,condition[,traversal][,name], "
                             f"not {','.join(header)}")
        parsed = []
        for line, row in enumerate(rows, start=2):
            where = f"--reclass {path}, line {line}"
            try:
                value = int(row["class"])
            except (TypeError, ValueError):
                raise InputError(f"{where}: class {row['class']!r} is not a whole number") from None
            parsed.append((value, as_fraction(row["condition"], where), as_fraction(row.get("traversal"), where),
                           (row.get("name") or "").strip()))
        return cls.from_rows(parsed, f"--reclass {path}", "traversal" in header, str(path))

    @classmethod
    def from_mapping(cls, mapping):
        """A table from {class: condition}, {class: (condition, traversal)} or {class: {"condition":
        ..., "traversal": ..., "name": ...}}; a condition of None is no data."""
        rows, has_traversal = [], False
        for key, entry in mapping.items():
            if isinstance(entry, dict):
                condition, traversal, name = entry.get("condition"), entry.get("traversal"), entry.get("name", "")
            elif isinstance(entry, (tuple, list)):
                condition, traversal, name = entry[0], entry[1], ""
            else:
                condition, traversal, name = entry, None, ""
            has_traversal |= traversal is not None
            rows.append((int(key), as_fraction(condition, f"reclass class {key}"),
                         as_fraction(traversal, f"reclass class {key}"), name))
        return cls.from_rows(rows, "the reclass mapping", has_traversal)

    def digest(self):
        """The table's content: what a run's record keeps of it."""
        from .checkpoint import digest_of

        return digest_of(np.concatenate([self.classes.astype(np.float64), self.condition.astype(np.float64),
                                         self.traversal.astype(np.float64)]))

    def slots(self, classes):
        """Each cell's row of the table (and True where its class has one)."""
        slots = np.searchsorted(self.classes, classes)
        slots = np.minimum(slots, len(self.classes) - 1)
        return slots, self.classes[slots] == classes

    def apply(self, classes, valid=None):
        """(condition, traversal) float32 rasters of a raster of classes; cells not `valid` (no data)
        and classes not in the table are NaN."""
        slots, known = self.slots(np.asarray(classes))
        known &= True if valid is None else valid
        condition = np.where(known, self.condition[slots], np.float32(np.nan)).astype(np.float32)
        traversal = np.where(known, self.traversal[slots], np.float32(np.nan)).astype(np.float32)
        return condition, traversal

    def unmapped(self, classes, valid=None):
        """{class: cells} of the classes with data that the table does not have."""
        classes = np.asarray(classes)
        _, known = self.slots(classes)
        missing = ~known if valid is None else valid & ~known
        values, counts = np.unique(classes[missing], return_counts=True)
        return dict(zip(values.tolist(), counts.tolist()))


def as_table(reclass):
    """A ReclassTable from a table, a CSV file's path or a mapping (None stays None)."""
    if reclass is None or isinstance(reclass, ReclassTable):
        return reclass
    if isinstance(reclass, dict):
        return ReclassTable.from_mapping(reclass)
    return ReclassTable.read_csv(reclass)


def unmapped_refusal(source, table, counts):
    """The one line that refuses classes missing from the table, with their cell counts."""
    listed = ", ".join(f"{value} ({cells:,} cells)" for value, cells in sorted(counts.items())[:12])
    more = f" and {len(counts) - 12} more" if len(counts) > 12 else ""
    return InputError(f"land cover {source}: classes {listed}{more} are not in {table.source}; add them (an empty "
                      "condition makes a class no data)")
