"""The checkpoint of a streamed run: a folder beside the output holding the run's manifest, a Zarr
store of the finished tiles' values and, per finished tile, a marker with the digest of its values.

What it guarantees:
- one writer at a time: the run that writes it holds its lock, a file made with O_EXCL that names
  the run's host and PID; a lock left by a process of this host that is gone is taken over;
- nothing foreign is removed: a folder counts as a checkpoint only when it holds nothing but what
  a checkpoint holds, and never when a run's input lies in it;
- nothing stale or damaged is used: a resume compares every parameter and every input's size,
  modification time and content digest with the manifest, and a finished tile's values are
  checked against its marker's digest before they are assembled, a tile that fails the check
  being computed again. A fill value is never taken for a result.

Layout: `lock`, `manifest.json` (written when the checkpoint is made; the inputs' digests are
added once the survey has read them, and only from then on does the checkpoint hold a started
run), `tiles.zarr/` and `done/R-C` (one marker per finished tile, named by its first row and column).
"""
import contextlib
import json
import logging
import os
import shutil
import socket
import warnings

import numpy as np

from ._extras import require
from .errors import InputError
from .temporaries import MARK, is_gone, temporary_name

zarr = require("zarr", "connectivity_from_files")
xxhash = require("xxhash", "connectivity_from_files")

log = logging.getLogger("velkan_tools")

CHECKPOINT_SUFFIX = ".checkpoint"
MANIFEST_FORMAT = 2
WRITER = "velkan connectivity"
LOCK, MANIFEST, STORE, DONE = "lock", "manifest.json", "tiles.zarr", "done"
ENTRIES = {LOCK, MANIFEST, STORE, DONE}


def checkpoint_path(output):
    """The checkpoint folder of an output: beside it, named after it."""
    return os.fspath(output) + CHECKPOINT_SUFFIX


class CheckpointError(InputError):
    """A checkpoint that cannot be used as asked; the text says why and what to do."""


class CheckpointMismatch(CheckpointError):
    """A resume whose inputs or parameters differ from those the checkpoint was made with."""


class CheckpointBusy(CheckpointError):
    """Another run holds the checkpoint's lock."""


class InterruptedRunExists(CheckpointError, FileExistsError):
    """A started run's checkpoint, neither resumed nor overwritten."""


# ---- digests ----

def feed(hasher, array):
    """Adds an array's shape and values to a digest."""
    hasher.update(repr(array.shape).encode())
    hasher.update(np.ascontiguousarray(array).data)


def digest_of(array):
    """A content digest of an array's values and shape."""
    hasher = xxhash.xxh3_128()
    feed(hasher, array)
    return hasher.hexdigest()


class Digests:
    """Content digests of a run's inputs, fed block by block in a fixed order."""

    def __init__(self, roles):
        self.hashers = {role: xxhash.xxh3_128() for role in roles}

    def add(self, role, block):
        feed(self.hashers[role], block)

    def hexdigests(self):
        return {role: hasher.hexdigest() for role, hasher in self.hashers.items()}


# ---- the manifest ----

def input_identity(path):
    """The quick test of a file's identity: its absolute path, size and modification time (the
    content digest comes with the survey); a path GDAL reads but the file system does not know
    (/vsicurl/, s3://) has its content digest alone."""
    if not os.path.exists(path):
        return {"path": path, "size": None, "mtime_ns": None}
    status = os.stat(path)
    return {"path": os.path.abspath(path), "size": status.st_size, "mtime_ns": status.st_mtime_ns}


def run_manifest(shape, tile_size, inputs, parameters):
    """The identity of a run, as JSON holds it (so that a stored one compares equal)."""
    manifest = {"writer": WRITER, "format": MANIFEST_FORMAT, "shape": list(shape), "tile_size": tile_size,
                "inputs": {role: input_identity(path) for role, path in inputs.items()}, "parameters": parameters}
    return json.loads(json.dumps(manifest))


def first_difference(recorded, wanted):
    """The first thing that differs between two manifests, in words, or None; digests are compared
    only where both have them."""
    for key in ("writer", "format"):
        if recorded.get(key) != wanted[key]:
            return f"it was made by another version of velkan ({key} {recorded.get(key)}, not {wanted[key]})"
    for role in sorted(set(recorded["inputs"]) | set(wanted["inputs"])):
        old, new = recorded["inputs"].get(role), wanted["inputs"].get(role)
        if old is None or new is None or old["path"] != new["path"]:
            return f"its {role} was {old['path'] if old else 'not given'}, now {new['path'] if new else 'not given'}"
        if (old["size"], old["mtime_ns"]) != (new["size"], new["mtime_ns"]):
            return f"its {role} {new['path']} has changed since"
    for role in sorted(set(recorded.get("digests") or {}) & set(wanted.get("digests") or {})):
        if recorded["digests"][role] != wanted["digests"][role]:
            path = wanted["inputs"][role]["path"] if role in wanted["inputs"] else role
            return f"its {role} {path} has changed since (its content differs)"
    for key in sorted(set(recorded["parameters"]) | set(wanted["parameters"])):
        old, new = recorded["parameters"].get(key), wanted["parameters"].get(key)
        if old != new:
            return f"it was made with {key} {old}, not {new}"
    for key in ("shape", "tile_size"):
        if recorded.get(key) != wanted[key]:
            return f"it was made with {key} {recorded.get(key)}, not {wanted[key]}"
    return None


def write_json_atomically(path, value):
    temporary = temporary_name(path)
    with open(temporary, "w") as out:
        json.dump(value, out)
        out.flush()
        os.fsync(out.fileno())
    os.replace(temporary, path)


def read_json(path):
    """The JSON document at `path`, or None when it is missing or unreadable."""
    try:
        with open(path) as source:
            return json.load(source)
    except (OSError, ValueError):
        return None


# ---- the lock ----

class Lock:
    """The checkpoint's lock: a file made with O_EXCL holding the writer's host and PID."""

    def __init__(self, path, holder):
        self.path, self.holder = path, holder

    @classmethod
    def take(cls, folder):
        """The lock of `folder`, taken; CheckpointBusy while another live run holds it."""
        path = os.path.join(folder, LOCK)
        me = {"host": socket.gethostname(), "pid": os.getpid()}
        for _ in range(3):
            try:
                handle = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
            except FileExistsError:
                cls.take_over_if_stale(folder, path, me["host"])
                continue
            with os.fdopen(handle, "w") as out:
                json.dump(me, out)
            return cls(path, me)
        raise CheckpointBusy(f"another velkan run keeps taking the lock of {folder}")

    @staticmethod
    def take_over_if_stale(folder, path, host):
        """Removes the lock at `path` if it is a process of this host that is gone (with a
        warning); CheckpointBusy otherwise."""
        holder = read_json(path)
        if not isinstance(holder, dict) or not isinstance(holder.get("pid"), int):
            raise CheckpointBusy(f"another velkan run is writing {folder} (its lock {path} cannot be read; "
                                 "remove it if no run is going)")
        if holder.get("host") != host or not is_gone(holder["pid"]):
            raise CheckpointBusy(f"another velkan run (pid {holder['pid']} on {holder.get('host')}) is writing "
                                 f"{folder}")
        # Moved aside first, so that of two runs taking over at once only one removes it.
        aside = temporary_name(path)
        try:
            os.rename(path, aside)
        except FileNotFoundError:
            return
        if read_json(aside) != holder:  # another run's fresh lock, taken over meanwhile: put it back
            with contextlib.suppress(FileExistsError):
                os.link(aside, path)
            os.remove(aside)
            raise CheckpointBusy(f"another velkan run is writing {folder}")
        os.remove(aside)
        warnings.warn(f"{folder}: took over the lock of pid {holder['pid']} on {host}, which is no longer running",
                      UserWarning, stacklevel=4)

    def release(self):
        if read_json(self.path) == self.holder:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self.path)


# ---- the folder ----

def lies_within(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return path == folder or path.startswith(folder + os.sep)


def check_is_checkpoint(folder, inputs):
    """Refuses a path that is not this command's checkpoint to use or remove: an input or a folder
    holding one, a file, a symbolic link, or a folder holding anything a checkpoint does not."""
    for path in inputs:
        if lies_within(path, folder):
            raise CheckpointError(f"{folder}, the output's checkpoint, holds the input {path}; "
                                  "give another output name")
    if not os.path.lexists(folder):
        return
    if os.path.islink(folder) or not os.path.isdir(folder):
        kind = "a symbolic link" if os.path.islink(folder) else "a file"
        raise CheckpointError(f"{folder}, the output's checkpoint, is {kind}; move it or give another output name")
    # Its files' temporaries (a write or a lock take-over cut short) are its own too.
    foreign = sorted(name for name in set(os.listdir(folder)) - ENTRIES if MARK not in name)
    if foreign:
        raise CheckpointError(f"{folder}, the output's checkpoint, holds {foreign[0]}, which velkan did not "
                              "write; move it or give another output name")


class Checkpoint:
    """An open checkpoint whose lock this run holds."""

    def __init__(self, folder, lock, manifest):
        self.folder, self.lock, self.manifest = folder, lock, manifest

    @property
    def started(self):
        """True once the survey has recorded the inputs' digests: from then on the checkpoint holds a run."""
        return "digests" in self.manifest

    def record_digests(self, digests):
        """On a fresh run, records the inputs' digests; on a resume, refuses different ones."""
        wanted = dict(self.manifest, digests=digests)
        if self.started and (difference := first_difference(self.manifest, wanted)):
            raise CheckpointMismatch(f"cannot resume {self.folder}: {difference}")
        self.manifest = wanted
        write_json_atomically(os.path.join(self.folder, MANIFEST), wanted)

    def release(self):
        """Leaves the checkpoint for a later run: its lock goes."""
        self.lock.release()

    def remove(self):
        """Removes the checkpoint, lock included: moved aside first, so that it disappears at once."""
        aside = temporary_name(self.folder)
        os.rename(self.folder, aside)
        shutil.rmtree(aside)


def open_checkpoint(folder, manifest, arrays, inputs, resume=False, overwrite=False):
    """The checkpoint at `folder`, locked: made anew (`arrays` names the store's arrays and their
    (shape, chunks, dtype, fill value)), or on `resume` the existing one, refused if it was made
    otherwise. An existing started run is refused unless `resume` or `overwrite`; one that never
    got past its survey is started again."""
    for _ in range(3):  # another run may make or remove the folder between two steps
        check_is_checkpoint(folder, inputs)
        if not os.path.lexists(folder):
            with contextlib.suppress(FileExistsError):
                return make_checkpoint(folder, manifest, arrays)
            continue
        try:
            lock = Lock.take(folder)
        except FileNotFoundError:
            continue
        try:
            return reuse_or_replace(folder, lock, manifest, arrays, resume, overwrite)
        except BaseException:
            lock.release()
            raise
    raise CheckpointBusy(f"another velkan run keeps making and removing {folder}")


def make_checkpoint(folder, manifest, arrays):
    """A new checkpoint: laid out beside its place and moved there whole, so that a folder at that
    name is always a complete checkpoint; FileExistsError when another run made one first."""
    building = temporary_name(folder)
    os.mkdir(building)
    try:
        lock = Lock.take(building)
        fill_checkpoint(building, manifest, arrays)
        try:
            os.rename(building, folder)  # fails unless `folder` is missing (or an empty folder)
        except OSError as error:
            raise FileExistsError(f"{folder} was made by another run") from error
    except BaseException:
        shutil.rmtree(building, ignore_errors=True)
        raise
    lock.path = os.path.join(folder, LOCK)
    return Checkpoint(folder, lock, manifest)


def fill_checkpoint(folder, manifest, arrays):
    write_json_atomically(os.path.join(folder, MANIFEST), manifest)
    os.mkdir(os.path.join(folder, DONE))
    group = zarr.open_group(os.path.join(folder, STORE), mode="w")
    for name, (shape, chunks, dtype, fill_value) in arrays.items():
        group.create_array(name, shape=shape, chunks=chunks, dtype=dtype, fill_value=fill_value,
                           compressors=zarr.codecs.ZstdCodec(level=3, checksum=True))


def reuse_or_replace(folder, lock, manifest, arrays, resume, overwrite):
    recorded = read_json(os.path.join(folder, MANIFEST))
    started = isinstance(recorded, dict) and "digests" in recorded and recorded.get("writer") == WRITER
    if started and resume:
        if difference := first_difference(recorded, manifest):
            raise CheckpointMismatch(f"cannot resume {folder}: {difference}")
        if damage := store_damage(folder, arrays):
            warnings.warn(f"{folder}: its store is damaged ({damage}); every tile is computed again", UserWarning,
                          stacklevel=4)
            clear_checkpoint(folder)
            fill_checkpoint(folder, recorded, arrays)
        log.info("resuming %s", folder)
        return Checkpoint(folder, lock, recorded)
    if started and not overwrite:
        raise InterruptedRunExists(f"an interrupted run left {folder}; give --resume to continue it or "
                                   "--overwrite to start again")
    if not started:
        log.info("%s holds no started run; starting afresh", folder)
    clear_checkpoint(folder)
    fill_checkpoint(folder, manifest, arrays)
    return Checkpoint(folder, lock, manifest)


def clear_checkpoint(folder):
    """Removes everything of a checkpoint but its lock."""
    for name in [MANIFEST, STORE, DONE] + [n for n in os.listdir(folder) if MARK in n]:
        path = os.path.join(folder, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        elif os.path.lexists(path):
            os.remove(path)


def store_damage(folder, arrays):
    """What is wrong with the store's arrays against the run's (shape, chunks, dtype), or None."""
    try:
        group = zarr.open_group(os.path.join(folder, STORE), mode="r")
        for name, (shape, chunks, dtype, _) in arrays.items():
            array = group[name]
            found = (tuple(array.shape), tuple(array.chunks), np.dtype(array.dtype))
            if found != (tuple(shape), tuple(chunks), np.dtype(dtype)):
                return f"{name} is {found}, not {(tuple(shape), tuple(chunks), np.dtype(dtype))}"
    except Exception as error:  # zarr's and the codecs' own classes: every one means unreadable
        return f"it cannot be read: {error}"
    return None


# ---- finished tiles ----

def finished_tiles(folder):
    """How many tiles the checkpoint at `folder` marks finished (0 without one)."""
    try:
        return sum(not name.startswith(".") for name in os.listdir(os.path.join(folder, DONE)))
    except OSError:
        return 0


def marker_path(folder, rows, cols):
    return os.path.join(folder, DONE, f"{rows[0]}-{cols[0]}")


def mark_finished(folder, rows, cols, values):
    """Marks a tile finished once its values are in the store, with their digest."""
    write_json_atomically(marker_path(folder, rows, cols), {"digest": digest_of(values)})


def marked_digest(folder, rows, cols):
    """The digest a finished tile's marker holds, or None (not finished, or its marker garbled)."""
    marker = read_json(marker_path(folder, rows, cols))
    return marker["digest"] if isinstance(marker, dict) and isinstance(marker.get("digest"), str) else None


def is_marked(folder, rows, cols):
    return marked_digest(folder, rows, cols) is not None


def tile_is_intact(folder, values_array, rows, cols):
    """True when the tile is marked finished and its stored values have the marker's digest."""
    if (digest := marked_digest(folder, rows, cols)) is None:
        return False
    try:
        values = values_array[slice(*rows), slice(*cols)]
    except Exception:  # a chunk the codec cannot read (its checksum fails, it is cut short)
        return False
    return digest_of(values) == digest
