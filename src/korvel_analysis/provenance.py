"""Output folders and their provenance: run.json, tables, checksums.

Every output folder holds a run.json that says how it was made: the inputs'
checksums, every option, the seeds, the versions and the thread count, and
whether the numbers are reproducible by running the same command again.
"""

from __future__ import annotations

import contextlib
import datetime
import errno
import fcntl
import json
import math
import os
import platform
import re
import secrets
import stat
import zlib
from pathlib import Path

import numpy as np

RUN_JSON = "run.json"


def korvel_version():
    # Imported here: the metadata machinery is a good part of the start-up of extract's
    # worker processes, which never ask.
    import importlib.metadata

    try:
        return importlib.metadata.version("korvel")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def thread_count():
    """The threads korvel's pool runs on, as the module reports them (it makes the pool,
    from KORVEL_NUM_THREADS as it is now, if no call has yet)."""
    import korvel

    return korvel.py_thread_count()


def now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def run_record(command, argv, options, inputs, **extra):
    """The run.json content: what ran, on what, with which options, seeds and versions.

    ``inputs``: what the readers saw of each input as they read it (``source``
    of a reads or counts table: path, sha256, bytes).
    """
    record = {
        "command": command,
        "argv": list(argv),
        "korvel_version": korvel_version(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "platform": platform.platform(),
        "threads": thread_count(),
        "KORVEL_NUM_THREADS": os.environ.get("KORVEL_NUM_THREADS"),
        "inputs": [dict(i) for i in inputs],
        "options": options,
        "started": now(),
    }
    record.update(extra)
    return record


def jsonable(value):
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [jsonable(v) for v in value]
    if isinstance(value, np.ndarray):
        return jsonable(value.tolist())
    if isinstance(value, (np.floating, float)):
        v = float(value)
        return v if math.isfinite(v) else repr(v)  # JSON has no inf or NaN
    if isinstance(value, np.integer):
        return int(value)
    if isinstance(value, np.bool_):
        return bool(value)
    return value


def run_json_text(record, finished=True):
    """The run.json text of ``record``; ``finished`` stamps the time the run ended."""
    record = dict(record, finished=now() if finished else None)
    return json.dumps(jsonable(record), indent=2) + "\n"


def start_run(folder, record):
    """The record of a run that has begun writing into ``folder`` (an OutputFolder), kept
    as run.running.json beside any finished run.json until the run finishes."""
    folder.write_text(RUNNING_JSON, run_json_text(dict(record, status="running"),
                                                  finished=False))


def finish_run(folder, record):
    """run.json of the finished run, its running record gone, and what the previous run
    left and this one did not write again removed; returns the removed names."""
    folder.write_text(RUN_JSON, run_json_text(record))
    folder.unlink(RUNNING_JSON)
    return folder.finish()


def write_file(path, write):
    """Writes a file whole or not at all, never through a link: ``write(file)`` fills a
    temporary file that is renamed to ``path`` (see ``SafeDir.write_with``)."""
    path = Path(path)
    with SafeDir.open(path.parent) as d:
        d.write_with(path.name, write)


def gzip_stream(pieces):
    """The gzip file of the bytes ``pieces``, compressed as they come: the same bytes as
    gzip.compress(b"".join(pieces), compresslevel=1, mtime=0).

    Level 1, not gzip's default 9: on a reads table level 9 is 14 times slower
    (a 10^7-row simulation spent 118 s compressing against 11 s writing it
    plain) for a file only 16% smaller."""
    deflate = zlib.compressobj(1, zlib.DEFLATED, zlib.MAX_WBITS | 16)
    for piece in pieces:
        yield deflate.compress(piece)
    yield deflate.flush()


def write_text(path, text):
    write_file(path, lambda f: f.write(text.encode()))


def check_file_target(path):
    """Raises FolderError unless a file can be written at ``path``: its folder exists and
    takes a new file (made and removed at once), and ``path`` is no folder. Run it before
    the work, so that a bad name costs nothing."""
    path = Path(path)
    if path.is_dir():
        raise FolderError(f"{path} is a folder")
    try:
        with SafeDir.open(path.parent) as d:
            d.write_with(path.name, lambda f: None, keep=False)
    except OSError as exc:
        raise FolderError(f"cannot write {path} ({exc.strerror or exc})") from None


def cell(value):
    """A table cell: integers as such, floats exactly (shortest round-trip form), NaN as NA."""
    if isinstance(value, (int, np.integer)) and not isinstance(value, bool):
        return str(int(value))
    if isinstance(value, str):
        return value
    v = float(value)
    return "NA" if math.isnan(v) else repr(v)


def separator(name):
    """The separator a file's name promises: commas for ``.csv`` (``.csv.gz``), else tabs."""
    name = Path(name).name.lower()
    return "," if name.removesuffix(".gz").endswith(".csv") else "\t"


def table_text(header, rows, sep="\t"):
    lines = [sep.join(header)] + [sep.join(cell(v) for v in row) for row in rows]
    return "\n".join(lines) + "\n"


def write_tsv(path, header, rows):
    """A table with the separator its name promises (see ``separator``)."""
    write_text(path, table_text(header, rows, separator(path)))


# ------------------------------------------------------------ safe writes

_TMP_SUFFIX = ".korvel-tmp"
_TMP_NAME = re.compile(r"^\..+\.[0-9a-f]{12}" + re.escape(_TMP_SUFFIX) + "$")


class SafeDir:
    """A folder held open by descriptor; every name in it is opened without following links.

    A file is written to a temporary name that is created exclusively (never
    an existing path, never through a link) and then renamed over the name:
    readers see the old file or the new one, never half of one, and a link
    planted at the name is replaced, not written through. Holding the folder
    by descriptor keeps every write in this folder even if a path to it
    changes meanwhile.
    """

    def __init__(self, fd, shown):
        self.fd, self.shown = fd, str(shown)

    @classmethod
    def open(cls, path):
        # The folder itself may be reached through a link: the user named it.
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NONBLOCK | os.O_CLOEXEC)
        return cls(fd, path)

    def sub(self, name, create=True):
        """The subfolder ``name`` (made when missing and ``create``); refuses a link there."""
        if create:
            try:
                os.mkdir(name, dir_fd=self.fd)
            except FileExistsError:
                pass
        try:
            fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_NONBLOCK
                         | os.O_CLOEXEC, dir_fd=self.fd)
        except OSError as exc:
            if os.path.islink(self.path(name)):
                raise FolderError(f"{self.path(name)} is a symbolic link: korvel writes only "
                                  "inside its output folder") from None
            raise FolderError(f"{self.path(name)} cannot be used as a folder "
                              f"({exc.strerror or exc})") from None
        return SafeDir(fd, self.path(name))

    def path(self, name):
        return os.path.join(self.shown, name)

    def exists(self, name):
        try:
            os.stat(name, dir_fd=self.fd, follow_symlinks=False)
        except FileNotFoundError:
            return False
        return True

    def names(self):
        return os.listdir(self.fd)

    def lstat(self, name):
        """The entry ``name`` as it is (a link not followed), or None when there is none."""
        try:
            return os.stat(name, dir_fd=self.fd, follow_symlinks=False)
        except FileNotFoundError:
            return None

    def read_bytes(self, name, limit=None):
        """The content of the regular file ``name``. Opened without blocking and without
        following a link, and refused (FolderError naming it) unless a regular file: a
        FIFO or a device planted at one of korvel's names must not hang or feed the run.
        ``limit``: refuse a file larger than that many bytes."""
        try:
            fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC,
                         dir_fd=self.fd)
        except OSError as exc:
            if exc.errno == errno.ELOOP:
                raise FolderError(f"{self.path(name)} is a symbolic link, not a file korvel "
                                  "wrote: korvel does not read through it") from None
            raise
        with os.fdopen(fd, "rb") as f:
            st = os.fstat(f.fileno())
            if not stat.S_ISREG(st.st_mode):
                raise FolderError(f"{self.path(name)} is {_kind(st)}, not a regular file: "
                                  "korvel does not read it (remove it, or choose another "
                                  "output folder)")
            if limit is not None and st.st_size > limit:
                raise FileTooLarge(f"{self.path(name)} holds {st.st_size} bytes, more than "
                                  f"the {limit} korvel's own file there can hold")
            return f.read()

    def write_bytes(self, name, data):
        self.write_with(name, lambda f: f.write(data))

    def write_with(self, name, write, keep=True):
        """Calls ``write(file)`` on a fresh temporary file, then renames it to ``name``
        (``keep=False``: removes it instead, a probe that the folder takes files)."""
        tmp = f".{name}.{secrets.token_hex(6)}{_TMP_SUFFIX}"
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                     0o666, dir_fd=self.fd)
        try:
            with os.fdopen(fd, "wb") as f:
                write(f)
                f.flush()
                os.fsync(f.fileno())
            if keep:
                os.rename(tmp, name, src_dir_fd=self.fd, dst_dir_fd=self.fd)
                return
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(tmp, dir_fd=self.fd)
            raise
        os.unlink(tmp, dir_fd=self.fd)

    def unlink(self, name):
        os.unlink(name, dir_fd=self.fd)

    def remove_stale_temps(self):
        """Removes the temporary files that a write cut short left: regular files named as
        korvel names them, nothing else."""
        for name in self.names():
            if _TMP_NAME.match(name):
                st = self.lstat(name)
                if st is not None and stat.S_ISREG(st.st_mode):
                    with contextlib.suppress(OSError):
                        self.unlink(name)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# Options of `korvel fit` that change how a run goes, not what it computes.
RESULT_NEUTRAL_OPTIONS = ("threads", "scheduler", "quiet", "verbose", "resume", "force",
                          "no_plots", "out", "input")


def resume_refusal(folder, record):
    """Why the run in ``folder`` (an OutputFolder) cannot be continued by the run ``record``
    describes, or None.

    The record of the folder's last run (an unfinished one if there is one,
    else the finished run.json) must name the same inputs (by checksum), the
    same korvel version and every option that changes results.
    """
    names = [n for n in folder.root.names() if n != LOCK]
    if not names:
        return None  # nothing there yet: the run starts afresh
    where = folder.path
    name = next((n for n in (RUNNING_JSON, RUN_JSON) if n in names), None)
    if name is None:
        return f"cannot resume {where}: it holds no {RUN_JSON}"
    try:
        old = json.loads(folder.read_text(name))
        if not isinstance(old, dict) or not isinstance(old.get("options"), dict) or not (
                isinstance(old.get("inputs"), list)
                and all(isinstance(i, dict) for i in old["inputs"])):
            raise ValueError
    except (OSError, ValueError):
        return f"cannot resume {where}: {name} is not a korvel run record"

    def plain(value):
        return json.loads(json.dumps(jsonable(value)))

    new = plain(record)
    diffs = []
    for key in ("command", "korvel_version"):
        if old.get(key) != new.get(key):
            diffs.append(f"{key} ({old.get(key)} there, {new.get(key)} now)")
    if [i.get("sha256") for i in old["inputs"]] != [i["sha256"] for i in new["inputs"]]:
        diffs.append("the input's content (sha256)")
    old_opts, new_opts = old["options"], new["options"]
    for key in sorted(set(old_opts) | set(new_opts)):
        if key not in RESULT_NEUTRAL_OPTIONS and old_opts.get(key) != new_opts.get(key):
            diffs.append(f"--{key.replace('_', '-')} ({old_opts.get(key)} there, "
                         f"{new_opts.get(key)} now)")
    if diffs:
        return (f"cannot resume {where}: its run differs in " + "; ".join(diffs)
                + " (start afresh with --force, or give the run's options)")
    return None


# ------------------------------------------------------------ output folders

LOCK = "korvel.lock"
# The folder's list of the files korvel wrote there (and may replace or remove).
FILE_LIST = "manifest.json"
RUNNING_JSON = "run.running.json"
_MANIFEST_KIND = "korvel output folder manifest"
# The folders korvel makes inside an output folder; it writes nowhere else.
SUBFOLDERS = ("plots", "profiles", "chunks", "gof_chunks")
# A manifest korvel wrote lists some hundreds of names; a far larger file is not one.
_MANIFEST_LIMIT = 16 << 20


class FolderError(Exception):
    """The output folder cannot be used (busy, not writable, holds what korvel may not replace)."""


class FileTooLarge(FolderError):
    """A file in the folder is larger than korvel's own file at its name can be."""


class OutputFolder:
    """A run's output folder: one run at a time, and korvel's files only.

    ``open`` takes an exclusive advisory lock (flock) on DIR/korvel.lock and
    holds it until ``close``: a second run into the folder is refused at once,
    and the kernel drops the lock of a process that dies however it dies.
    Every file the run creates is listed in DIR/manifest.json before it is
    written; a later run (--force, --resume) removes only files listed there,
    when it finishes, and never replaces a file it did not write.
    """

    def __init__(self, root, created, previous, previous_folders, lock_fd):
        self.root, self.created = root, created
        self.has_manifest = False
        self.previous, self.previous_folders = previous, previous_folders
        self.files, self.folders = set(), set()
        self._subs = {}
        self._lock_fd = lock_fd

    @property
    def path(self):
        return Path(self.root.shown)

    @classmethod
    def open(cls, path, replace=False):
        """Locks ``path`` for this run (made when missing); refuses a non-empty folder
        unless ``replace``. Raises FolderError; writes nothing but the lock."""
        path = str(path)
        if os.path.lexists(path) and not os.path.isdir(path):
            if os.path.islink(path):
                raise FolderError(f"{path} is a symbolic link to a missing folder")
            raise FolderError(f"{path} exists and is not a folder")
        created = False
        if not os.path.isdir(path):
            try:
                os.makedirs(path)
                created = True
            except FileExistsError:  # made by someone else meanwhile: take it as found
                pass
            except OSError as exc:
                raise FolderError(f"cannot create the output folder {path} "
                                  f"({exc.strerror or exc})") from None
        root = SafeDir.open(path)
        try:
            if not created and not replace and any(n != LOCK for n in root.names()):
                raise FolderError(f"output folder {path} is not empty (use --force to replace "
                                  "korvel's files in it)")
            lock_fd = _lock(root)
        except BaseException:
            _discard(root, created)
            raise
        folder = cls(root, created, set(), set(), lock_fd)
        try:
            folder.has_manifest = root.exists(FILE_LIST)
            folder.previous, folder.previous_folders = folder._read_manifest()
            folder._check_manifest()  # before anything is removed
            root.remove_stale_temps()
            for name in SUBFOLDERS:
                if root.exists(name):
                    with root.sub(name, create=False) as d:  # refuses a link
                        d.remove_stale_temps()
        except BaseException:
            folder.close()
            raise
        return folder

    def _read_manifest(self):
        if not self.root.exists(FILE_LIST):
            return set(), set()
        try:
            data = json.loads(self.root.read_bytes(FILE_LIST, limit=_MANIFEST_LIMIT))
            if data.get("kind") != _MANIFEST_KIND:
                raise ValueError
            if not all(isinstance(n, str) for n in data["files"] + data.get("folders", [])):
                raise ValueError
            files = set(data["files"])
            folders = set(data.get("folders", []))
        except (OSError, ValueError, TypeError, KeyError, AttributeError):
            raise FolderError(f"{self.root.path(FILE_LIST)} is not korvel's manifest: korvel "
                              "leaves it alone (move it, or choose another output folder)") \
                from None
        return files, folders

    def _check_manifest(self):
        """Refuses the folder (FolderError naming the entry) unless every manifest entry is
        one of korvel's names: a file in the folder or in one of korvel's subfolders, named
        plainly (no "..", no absolute path, no link on the way), and a regular file (or a
        link, which is replaced, not followed) where there is one; a folder entry one of
        korvel's subfolders, a real folder where there is one. The manifest is data from
        whoever wrote the folder: an entry that is anything else would have a later run
        remove what korvel never wrote."""
        def refuse(name, why):
            raise FolderError(f"{self.root.path(FILE_LIST)} lists {name!r}, which {why}: "
                              "korvel removes nothing and leaves the folder alone (move the "
                              "manifest, or choose another output folder)")

        for name in sorted(self.previous_folders):
            if name not in SUBFOLDERS:
                refuse(name, "is not one of korvel's folders (" + ", ".join(SUBFOLDERS) + ")")
            st = self.root.lstat(name)
            if st is not None and not stat.S_ISDIR(st.st_mode):
                refuse(name, f"is {_kind(st)}, not a folder")
        for name in sorted(self.previous):
            folder, _, base = name.rpartition("/")
            if (name.startswith("/") or "\0" in name or base in ("", ".", "..")
                    or (folder and folder not in SUBFOLDERS)):
                refuse(name, "is not a name korvel writes (a file in the folder or in "
                             + ", ".join(f"{n}/" for n in SUBFOLDERS) + ")")
            d = self.root
            if folder:
                st = self.root.lstat(folder)
                if st is None:
                    continue  # nothing there to remove
                if not stat.S_ISDIR(st.st_mode):
                    refuse(name, f"lies in {self.root.path(folder)}, {_kind(st)}")
                d = self.root.sub(folder, create=False)
            try:
                st = d.lstat(base)
            finally:
                if d is not self.root:
                    d.close()
            # A link at a name of korvel's is replaced or removed as a link (never
            # followed: the removal and the renames work on the folder's entry).
            if st is not None and not (stat.S_ISREG(st.st_mode) or stat.S_ISLNK(st.st_mode)):
                refuse(name, f"is {_kind(st)}, not a file korvel wrote")

    def _write_manifest(self, files, folders):
        text = json.dumps({"kind": _MANIFEST_KIND, "korvel_version": korvel_version(),
                           "files": sorted(files), "folders": sorted(folders)}, indent=1)
        self.root.write_bytes(FILE_LIST, (text + "\n").encode())

    def _not_ours(self, path):
        if not self.has_manifest:
            return (f"{path} was not written by korvel as far as korvel can tell: the folder "
                    f"has no {FILE_LIST}, the list of the files korvel wrote there (lost or "
                    "removed?), so korvel leaves every file in it alone; move them, or choose "
                    "another output folder")
        return (f"{path} was not written by korvel (it is not in the folder's {FILE_LIST}): "
                "korvel leaves it alone; move it, or choose another output folder")

    def check_writable(self, folders=()):
        """Raises FolderError unless the folder, and each of ``folders`` (korvel's subfolders)
        that is there, takes a new file (made and removed at once): before the work, so an
        unwritable place costs no fit."""
        for name in ("",) + tuple(folders):
            if name and not self.root.exists(name):
                continue  # made when first written to, in a folder just found writable
            d = self.root if not name else self.root.sub(name, create=False)
            try:
                d.write_with("korvel-probe", lambda f: None, keep=False)
            except OSError as exc:
                raise FolderError(f"cannot write into {d.shown} ({exc.strerror or exc})") \
                    from None
            finally:
                if d is not self.root:
                    d.close()

    def owns(self, name):
        return name in self.files or name in self.previous

    def check_free(self, names):
        """Refuses the run when a name it will write holds a file korvel did not write."""
        for name in names:
            if not self.owns(name) and self.root.exists(name):
                raise FolderError(self._not_ours(self.root.path(name)))

    def _dir(self, folder):
        if not folder:
            return self.root
        if folder not in self._subs:
            made = not self.root.exists(folder)
            self._subs[folder] = self.root.sub(folder)
            if made:
                self.folders.add(folder)
        return self._subs[folder]

    def claim(self, name):
        """Lists ``name`` in the manifest before it is written (or kept, on resume)."""
        if name in self.files:
            return
        folder, _, base = name.rpartition("/")
        d = self._dir(folder)
        if name not in self.previous and d.exists(base):
            raise FolderError(self._not_ours(d.path(base)))
        if folder and folder in self.previous_folders:
            self.folders.add(folder)
        self.files.add(name)
        self._write_manifest(self.previous | self.files, self.previous_folders | self.folders)

    def write_with(self, name, write):
        self.claim(name)
        folder, _, base = name.rpartition("/")
        self._dir(folder).write_with(base, write)

    def write_text(self, name, text):
        self.write_with(name, lambda f: f.write(text.encode()))

    def write_tsv(self, name, header, rows):
        self.write_text(name, table_text(header, rows, separator(name)))

    def read_text(self, name):
        return self.root.read_bytes(name).decode()

    def sub(self, folder):
        """A view of a subfolder whose writes are listed in the manifest (for chunk stores)."""
        return _OwnedDir(self, folder)

    def finish(self):
        """Removes what an earlier run left that this run did not write again, lists this
        run's files in the manifest; returns the removed names."""
        removed = []
        for name in sorted(self.previous - self.files):
            folder, _, base = name.rpartition("/")
            try:
                d = self.root if not folder else self._dir_existing(folder)
                if d is not None:
                    d.unlink(base)
                    removed.append(name)
            except (FileNotFoundError, FolderError):
                pass
        self._write_manifest(self.files, self.folders)
        for folder in sorted((self.previous_folders | self.folders)
                             - {n.rpartition("/")[0] for n in self.files}):
            with contextlib.suppress(OSError):
                os.rmdir(folder, dir_fd=self.root.fd)  # only when empty
        self.previous, self.previous_folders = set(), set()
        return removed

    def _dir_existing(self, folder):
        if folder in self._subs:
            return self._subs[folder]
        if not self.root.exists(folder):
            return None
        self._subs[folder] = self.root.sub(folder, create=False)
        return self._subs[folder]

    def unlink(self, name):
        """Removes one of this run's own files (a record it replaces)."""
        folder, _, base = name.rpartition("/")
        with contextlib.suppress(FileNotFoundError):
            (self._dir_existing(folder) if folder else self.root).unlink(base)
        self.files.discard(name)
        self.previous.discard(name)

    def close(self):
        """Releases the lock; a folder this run made and left empty is removed."""
        for d in self._subs.values():
            d.close()
        self._subs = {}
        if self._lock_fd is not None:
            with contextlib.suppress(OSError):
                self.root.unlink(LOCK)
            os.close(self._lock_fd)  # drops the flock
            self._lock_fd = None
        if self.root.fd is not None:
            _discard(self.root, self.created and not self.files)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class _OwnedDir:
    """The chunk store's view of a subfolder of an OutputFolder."""

    def __init__(self, folder, name):
        self.folder, self.name = folder, name
        self.shown = str(folder.path / name)

    def _d(self):
        return self.folder._dir(self.name)

    def exists(self, name):
        return self._d().exists(name)

    def names(self):
        return self._d().names()

    def read_bytes(self, name, limit=None):
        return self._d().read_bytes(name, limit)

    def write_bytes(self, name, data):
        self.folder.write_with(f"{self.name}/{name}", lambda f: f.write(data))

    def keep(self, name):
        self.folder.claim(f"{self.name}/{name}")

    def path(self, name):
        return os.path.join(self.shown, name)


def _kind(st):
    """What a file that is not a regular one is, for messages."""
    for test, what in ((stat.S_ISLNK, "a symbolic link"), (stat.S_ISDIR, "a folder"),
                       (stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISREG, "a regular file")):
        if test(st.st_mode):
            return what
    return "a special file"


def _discard(root, remove):
    path = root.shown
    root.close()
    if remove:
        with contextlib.suppress(OSError):
            os.rmdir(path)


def _lock(root):
    """Takes the folder's lock or raises FolderError naming the process that holds it."""
    flags = os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC
    replaced = 0
    while True:
        # The lock is korvel's name: whatever else is there (a FIFO, a socket, a link)
        # is replaced by a regular file, which alone can carry the flock; a folder there
        # is refused, and so is a name that keeps being taken by something else.
        st = root.lstat(LOCK)
        if st is not None and not stat.S_ISREG(st.st_mode):
            if stat.S_ISDIR(st.st_mode) or replaced >= 10:
                raise FolderError(f"{root.path(LOCK)} is {_kind(st)}: korvel keeps its lock "
                                  "there (remove it, or choose another output folder)")
            replaced += 1
            try:
                os.unlink(LOCK, dir_fd=root.fd)
            except FileNotFoundError:
                pass
            except OSError as exc:
                raise FolderError(f"cannot replace {root.path(LOCK)}, {_kind(st)}, by korvel's "
                                  f"lock ({exc.strerror or exc})") from None
        try:
            fd = os.open(LOCK, flags, 0o666, dir_fd=root.fd)
        except OSError as exc:
            if exc.errno in (errno.ELOOP, errno.ENXIO) and replaced < 10:
                continue  # another special file planted meanwhile: replace it again
            raise FolderError(f"cannot write the lock {root.path(LOCK)} into the output "
                              f"folder ({exc.strerror or exc})") from None
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            os.close(fd)
            continue  # planted between the look and the open: look again
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
            os.close(fd)
            who = f"process {holder}" if holder.isdigit() else "a process"
            raise FolderError(f"output folder {root.shown} is in use by another korvel run "
                              f"({who}); wait for it to end or choose another output folder") \
                from None
        # The holder removes the file as it lets go; a lock on a file that is
        # no longer at the name is no lock: take the file that is there now.
        try:
            now_there = os.stat(LOCK, dir_fd=root.fd, follow_symlinks=False)
        except FileNotFoundError:
            now_there = None
        mine = os.fstat(fd)
        if now_there is not None and (now_there.st_ino, now_there.st_dev) == (mine.st_ino,
                                                                              mine.st_dev):
            break
        os.close(fd)
    os.ftruncate(fd, 0)
    os.pwrite(fd, f"{os.getpid()}\n".encode(), 0)
    return fd
