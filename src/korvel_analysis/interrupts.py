"""Ctrl+C, in one place: every stage of a run that must answer it goes through here.

A module call holds no Python frame while it computes, so Python sees Ctrl+C
only once it returns. Where that would be too late, the call runs on a helper
thread that the main thread waits for in short steps (``promptly``); a call
that stops on Ctrl+C itself is run directly, with the SIGINT disposition it
found put back afterwards (``kept``). Where an interrupt must not land in the
middle of something (a cluster starting, a client waiting), Ctrl+C is noted
and answered between steps (``noted``, ``held``). Only the main thread can
receive SIGINT; elsewhere each of these leaves the signal alone.
"""

from __future__ import annotations

import contextlib
import signal
import threading

_abandoned = []  # threads of calls given up on Ctrl+C


def _main_thread():
    return threading.current_thread() is threading.main_thread()


def promptly(fn, *args):
    """fn(*args), with Ctrl+C felt at once: on the main thread the call runs on a helper
    thread that is waited for in short steps, so KeyboardInterrupt reaches the caller
    within a tenth of a second. The call itself cannot be stopped; on Ctrl+C it is left
    to finish unseen (``calls_left_running`` says whether one still runs)."""
    if not _main_thread():
        return fn(*args)
    box = {}

    def run():
        try:
            box["value"] = fn(*args)
        except BaseException as exc:  # noqa: BLE001 - handed to the caller below
            box["error"] = exc

    t = threading.Thread(target=run, name="korvel call", daemon=True)
    t.start()
    try:
        while t.is_alive():
            t.join(0.1)
    except KeyboardInterrupt:
        _abandoned.append(t)
        raise
    if "error" in box:
        raise box["error"]
    return box["value"]


def side_by_side(calls, threads):
    """The results of ``calls`` (module calls that compute without the interpreter lock),
    in order, with as many running at once as ``threads`` (the module's pool).

    A profile's end search sends one or two points per call, fewer than the pool has
    threads, and every call of a step waits for the one before it: run side by side,
    the calls of every profile of a step keep the pool busy. Each call's values do not
    depend on what else runs, so the results are those of the calls one after another.
    Ctrl+C is felt at once: the module's calls stop themselves, and a call between
    its checks is left to finish unseen (as promptly does)."""
    width = min(len(calls), threads)
    if width <= 1:
        return [c() for c in calls]
    out, errors, lock, todo = [None] * len(calls), {}, threading.Lock(), iter(range(len(calls)))

    def work():
        while not errors:
            with lock:
                i = next(todo, None)
            if i is None:
                return
            try:
                out[i] = calls[i]()
            except BaseException as exc:  # noqa: BLE001 - raised on the caller below
                errors[i] = exc

    workers = [threading.Thread(target=work, name="korvel call", daemon=True)
               for _ in range(width)]
    with kept():
        for t in workers:
            t.start()
        try:
            for t in workers:
                while t.is_alive():
                    t.join(0.1)
        except KeyboardInterrupt:
            errors[-1] = None  # no new calls start
            _abandoned.extend(workers)
            raise
    if errors:
        raise errors[min(errors)]
    return out


def calls_left_running():
    """Whether a module call given up on Ctrl+C is still computing (a process that ends
    now should end with os._exit: the interpreter's shutdown would wait on it)."""
    return any(t.is_alive() for t in _abandoned)


@contextlib.contextmanager
def kept():
    """Puts back, after a module call, the SIGINT disposition found before it: Python's
    Ctrl+C, a handler of the user's, or an ignored SIGINT, whatever the call left."""
    found = signal.getsignal(signal.SIGINT) if _main_thread() else None
    try:
        yield
    finally:
        if found is not None:  # None: set outside Python, nothing to give back
            signal.signal(signal.SIGINT, found)


@contextlib.contextmanager
def noted(keep_ignored=False):
    """Ctrl+C noted, not raised, during the block; yields a function that says whether it
    came, for the caller to act on between steps. With ``keep_ignored`` a process that
    ignores SIGINT (a shell's background job) keeps ignoring it."""
    if not _main_thread():
        yield lambda: False
        return
    seen = []
    previous = signal.getsignal(signal.SIGINT)
    noting = not (keep_ignored and previous is signal.SIG_IGN)
    if noting:
        signal.signal(signal.SIGINT, lambda signum, frame: seen.append(signum))
    try:
        yield lambda: bool(seen)
    finally:
        if noting:
            signal.signal(signal.SIGINT, previous)


@contextlib.contextmanager
def held():
    """Ctrl+C during the block is held, not raised inside it, and raised as
    KeyboardInterrupt as soon as the block ends, however it ends: what the block starts
    is not left half done by an interrupt in its middle, and the interrupt is not lost."""
    with noted(keep_ignored=True) as seen:
        try:
            yield
        finally:
            if seen():
                raise KeyboardInterrupt


def ignored():
    """SIGINT ignored from now on in a worker process: a Ctrl+C at the terminal reaches the
    whole process group, and it is the command's to answer, not each worker's."""
    if _main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
