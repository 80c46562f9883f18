"""Bootstrap chunks on a Dask cluster (the optional ``dask`` extra).

Each chunk is submitted as a pure task; results are gathered as they
complete, so each is kept on disk at once. A worker that dies takes its
chunk with it and the scheduler gives the chunk to another worker (Dask's
allowed failures, plus ``retries`` for a task that fails); each chunk's
result is taken once, by its index, so every row appears exactly once.

Worker processes need korvel installed, with the same C library, for
their rows to equal the local ones. Each worker runs one chunk at a time
on all of its threads: korvel's own pool parallelises inside the chunk.
"""

from __future__ import annotations

import contextlib
import logging
import os
import threading
import time

import korvel

from . import interrupts
from .readers import ArgumentError

EXTRA = "pip install 'korvel[dask]'"
RETRIES = 2

# One chunk at a time per worker process: a worker with several threads gives
# them all to korvel's pool instead of running chunks side by side on it.
_chunk_lock = threading.Lock()
_threads_set = False


def require():
    """Dask's distributed scheduler; ImportError saying how to install it when missing."""
    try:
        import distributed
    except ImportError:
        raise ImportError(f"running on a Dask cluster needs Dask's distributed scheduler: "
                          f"{EXTRA}") from None
    return distributed


def parse_scheduler(scheduler):
    """('local', N) for local:N, else ('address', scheduler); ArgumentError for a bad one."""
    if scheduler.startswith("local:"):
        n = scheduler[len("local:"):]
        if not n.isdigit() or int(n) < 1:
            raise ArgumentError(f"{{}} {scheduler}: local:N needs a whole number N >= 1 of "
                                "worker processes", "scheduler")
        return "local", int(n)
    if not scheduler.strip():
        raise ArgumentError("{} needs a scheduler address or local:N", "scheduler")
    return "address", scheduler


def dask_setup(worker):
    """Run by each worker process of a LocalCluster as it starts (a Dask preload of this
    module): a Ctrl+C at the terminal reaches the whole process group, and it is the
    command's to answer (it cancels the chunks and closes the cluster), not the workers'
    to die of with a traceback each."""
    interrupts.ignored()


@contextlib.contextmanager
def connect(scheduler, threads_per_worker=None):
    """A Client for ``scheduler`` (an address, or local:N for a LocalCluster of N processes).

    A LocalCluster listens on 127.0.0.1 only and is closed on leaving.
    ``threads_per_worker`` defaults to the CPUs divided among the workers.
    """
    kind, value = parse_scheduler(scheduler)
    distributed = require()
    cluster = None
    if kind == "local":
        threads = threads_per_worker or max(1, (os.cpu_count() or 1) // value)
        client = None
        try:
            with interrupts.held():
                cluster = distributed.LocalCluster(
                    n_workers=value, threads_per_worker=threads, processes=True,
                    host="127.0.0.1", dashboard_address=None, silence_logs=logging.ERROR,
                    # The scheduler's HTTP endpoint on a free port of 127.0.0.1, not on
                    # 8787, which another cluster on the machine may hold.
                    scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                    preload=[__name__])
                client = distributed.Client(cluster)
        except BaseException:
            with _logs_silenced():
                if client is not None:
                    client.close()
                if cluster is not None:
                    cluster.close()
            raise
    else:
        client = distributed.Client(value)
    interrupted = False
    try:
        yield client
    except KeyboardInterrupt:
        interrupted = True
        raise
    finally:
        # After Ctrl+C the cluster is torn down with chunks in flight: the scheduler's
        # complaints about the client it can no longer reach say nothing the one line
        # on how to resume does not.
        with _logs_silenced() if interrupted else contextlib.nullcontext():
            client.close()
            if cluster is not None:
                cluster.close()


def _set_threads_from_worker():
    global _threads_set
    if _threads_set:
        return
    try:
        worker = require().get_worker()
        nthreads = getattr(worker, "state", worker).nthreads
    except ValueError:  # not on a worker (a test calling the task directly)
        nthreads = None
    if nthreads:
        # Read by korvel when its pool starts, at the first parallel fit.
        os.environ["KORVEL_NUM_THREADS"] = str(nthreads)
    _threads_set = True


class ChunkError(RuntimeError):
    """A korvel failure inside a task, carried back as an ordinary exception."""


def chunk_task(task, *args):
    """The task a worker runs: ``task(*args)``, one chunk that sets the run-wide settings of
    the run itself."""
    _set_threads_from_worker()
    with _chunk_lock:
        try:
            return task(*args)
        except korvel.InternalError as exc:
            # A BaseException, which Dask would not carry back as a task's error.
            raise ChunkError(f"{type(exc).__name__}: {exc}") from None


@contextlib.contextmanager
def _logs_silenced():
    loggers = [logging.getLogger(name) for name in ("distributed", "tornado")]
    levels = [lg.level for lg in loggers]
    for lg in loggers:
        lg.setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        for lg, level in zip(loggers, levels):
            lg.setLevel(level)


def map_chunks(client, task, jobs, finished, retries=RETRIES):
    """Runs ``task(*args)`` for ``jobs`` [(index, args), ...] on ``client``, where args[1]
    is the chunk's first resample; ``finished(index, rows)``
    is called in the order chunks complete. Cancels what is left on any error or Ctrl+C."""
    distributed = require()
    futures = {}
    for i, args in jobs:
        b0 = args[1]
        fut = client.submit(chunk_task, task, *args, key=f"korvel-chunk-{b0}-{os.urandom(6).hex()}",
                            pure=False, retries=retries)
        futures[fut] = i
    seen = set()
    try:
        with interrupts.noted() as interrupted:
            done = distributed.as_completed(list(futures))
            while not done.is_empty():
                batch = done.next_batch(block=False)
                if interrupted():
                    raise KeyboardInterrupt
                if not batch:
                    time.sleep(0.05)
                for fut in batch:
                    i = futures[fut]
                    if i in seen:  # never twice, whatever the scheduler does
                        continue
                    seen.add(i)
                    finished(i, fut.result())
    except BaseException:
        client.cancel(list(futures))
        raise
