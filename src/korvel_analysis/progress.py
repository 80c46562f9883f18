"""Progress of long runs: resamples of a bootstrap, points of a profile, a long fit.

On a terminal a progress bar is drawn on the standard error stream. Elsewhere
(a batch job's log, a pipeline, a notebook) a bar would be control characters,
so plain lines are written instead: one when another 5% of the work is done
and at least every 30 s, each with the work done and, once some is done, the
rate and the time left, and one when the stage ends. The total of a stage is
fixed before its work starts. ``progress`` arguments across the package take
the same three values:

- ``None`` (the default): a bar on a terminal, plain lines elsewhere;
- ``True``: always a bar (needs tqdm, from the ``analysis`` extra);
- ``False``: nothing written.
"""

from __future__ import annotations

import sys
import threading
import time

# A log gets a line at least this often while a stage runs (seconds) ...
LINE_INTERVAL = 30.0
# ... and one whenever another this much of the work is done, but lines for
# that reason come at most every MIN_LINE_GAP seconds, so that a stage of a
# few seconds writes its closing line and little else.
LINE_STEP = 0.05
MIN_LINE_GAP = 5.0


def duration(seconds):
    """``seconds`` as people read them: "45 s", "3 min 5 s", "2 h 10 min"."""
    s = int(round(seconds))
    if s < 60:
        return f"{s} s"
    if s < 3600:
        return f"{s // 60} min {s % 60} s"
    return f"{s // 3600} h {s % 3600 // 60} min"


def _rate(per_second, unit):
    for scale, per in ((1.0, "s"), (60.0, "min"), (3600.0, "h")):
        if per_second * scale >= 1.0 or per == "h":
            return f"{per_second * scale:.3g} {unit}s/{per}"


class _Silent:
    """What progress that is off does: count, write nothing."""

    def __init__(self, total=None, initial=0):
        self.total = total
        self.n = initial
        self.note = ""  # work inside the units, shown beside their count (see tell)

    def update(self, n=1):
        self.n += n

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class _Lines(_Silent):
    """Plain progress lines for a log: done/total, rate and time left.

    A daemon thread writes a line when LINE_INTERVAL seconds pass without
    one, so a log shows that a run is alive even while one unit of work
    (a chunk of resamples, a long module call) takes minutes. ``total`` None
    means the amount of work is not known: the lines then give the time
    elapsed only.
    """

    def __init__(self, total, desc, unit, initial=0, file=None):
        super().__init__(total, initial)
        self.desc, self.unit, self.initial = desc, unit, initial
        self.file = file if file is not None else sys.stderr
        self.start = self.last = time.monotonic()
        self.lines = 0
        self.next_step = self._step_after(initial)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._beat, name=f"korvel progress: {desc}",
                                        daemon=True)
        self._thread.start()

    def _step_after(self, n):
        if not self.total:
            return None
        step = max(self.total * LINE_STEP, 1.0)
        return (n // step + 1) * step

    def _line(self, now, final=False):
        elapsed = now - self.start
        if self.total is None:
            return f"korvel: {self.desc}: {duration(elapsed)} elapsed"
        done = self.n - self.initial
        text = (f"korvel: {self.desc}: {self.n}/{self.total} {self.unit}s "
                f"({100.0 * self.n / self.total if self.total else 100.0:.0f}%) "
                f"in {duration(elapsed)}")
        if self.note:
            text += f", {self.note}"
        if final:
            return text
        # The time left is said only once some work is done to estimate it from:
        # before that, any figure would be a guess.
        if done > 0 and elapsed > 0:
            rate = done / elapsed
            text += f", {_rate(rate, self.unit)}, about {duration((self.total - self.n) / rate)} left"
        return text

    def _write(self, now, final=False):
        # The caller holds the lock; one write per line, as the module writes its own.
        self.file.write(self._line(now, final) + "\n")
        self.file.flush()
        self.last = now
        self.lines += 1

    def _beat(self):
        while True:
            with self._lock:
                wait = self.last + LINE_INTERVAL - time.monotonic()
            if self._stop.wait(max(wait, 0.0)):
                return
            with self._lock:
                now = time.monotonic()
                if now - self.last >= LINE_INTERVAL and not self._stop.is_set():
                    self._write(now)

    def update(self, n=1):
        with self._lock:
            self.n += n
            now = time.monotonic()
            if self.next_step is not None and self.n >= self.next_step:
                self.next_step = self._step_after(self.n)
                if now - self.last >= MIN_LINE_GAP and self.n < self.total:
                    self._write(now)

    def close(self):
        if self._stop.is_set():
            return
        self._stop.set()
        self._thread.join()
        with self._lock:
            # Work of unknown size closes with a line only when it was long
            # enough to have written one: a fit of a second says nothing.
            if self.total is not None or self.lines:
                self._write(time.monotonic(), final=True)


def _is_terminal(stream):
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def bar(total, desc, unit, progress=None, initial=0):
    """Progress over ``total`` units of work on stderr: a tqdm bar, plain lines, or nothing.

    ``initial`` counts units already done (a resumed run), so the rate and the
    time left are those of the work still to do. ``total`` None: the amount
    of work is not known (one long module call); the time elapsed is shown.
    """
    if progress is False:
        return _Silent(total, initial)
    if progress is None and not _is_terminal(sys.stderr):
        return _Lines(total, desc, unit, initial)
    try:
        from tqdm import tqdm
    except ImportError:
        if progress:
            raise ImportError("a progress bar needs tqdm: pip install 'korvel[analysis]'") \
                from None
        return _Lines(total, desc, unit, initial)
    if total is None:
        return _Ticking(tqdm(desc=desc, file=sys.stderr, bar_format="{desc}: {elapsed} elapsed"))
    return tqdm(total=total, desc=desc, unit=unit, initial=initial, file=sys.stderr,
                dynamic_ncols=True, smoothing=0.1)


class _Ticking:
    """A tqdm bar of unknown length redrawn every second, so its clock runs during one long call."""

    def __init__(self, tq):
        self.tq, self.total, self.n = tq, None, 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._tick, daemon=True)
        self._thread.start()

    def _tick(self):
        while not self._stop.wait(1.0):
            self.tq.refresh()

    def update(self, n=1):
        self.n += n

    def close(self):
        self._stop.set()
        self._thread.join()
        self.tq.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def waiting(desc, progress=None):
    """Progress of one long call whose amount of work is unknown: use as ``with waiting(...):``."""
    return bar(None, desc, "", progress)


# advance() is called from the threads of module calls run side by side (the
# profiles' steps): raising the total and counting must not interleave.
_advance_lock = threading.Lock()


def advance(bar, n):
    """Counts ``n`` more units, raising the total when the work turned out larger than planned;
    safe to call from several threads."""
    with _advance_lock:
        if bar.total is not None and bar.n + n > bar.total:
            bar.total = bar.n + n
        bar.update(n)


def tell(bar, note):
    """Shows ``note`` beside the count of ``bar``: work done inside its units, where one
    unit takes long (the fits inside a resample's shared search)."""
    if hasattr(bar, "set_postfix_str"):  # a tqdm bar
        bar.set_postfix_str(note)
    else:
        bar.note = note


# How often a watch reads the count of a module call that is running (seconds).
WATCH_INTERVAL = 0.5


class Watch:
    """Moves ``bar`` while module calls run that count their own work: a thread of its own
    reads ``read()`` -> (units done, note) every WATCH_INTERVAL seconds, since a call
    holds no Python frame that could report, moves the bar up to the units (never back)
    and shows the note beside them (see tell). ``poll()`` reads at once; ``moved`` is how
    far this watch has moved the bar. Use as ``with Watch(bar, read) as watch:``."""

    def __init__(self, bar, read):
        self.bar, self.read, self.moved = bar, read, 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="korvel progress watch",
                                        daemon=True)

    def poll(self):
        with self._lock:
            units, note = self.read()
            if units > self.moved:
                self.bar.update(units - self.moved)
                self.moved = units
            if note:
                tell(self.bar, note)

    def _run(self):
        while not self._stop.wait(WATCH_INTERVAL):
            self.poll()

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
