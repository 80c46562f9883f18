"""Progress bars for long runs: resamples of a bootstrap, points of a profile.

A bar goes to the standard error stream and only to a terminal, so that
pipelines and notebooks that capture the stream get no control characters.
``progress`` arguments across the package take the same three values:

- ``None`` (the default): a bar when the standard error stream is a terminal;
- ``True``: always a bar (needs tqdm, from the ``analysis`` extra);
- ``False``: no bar, and nothing written.
"""

from __future__ import annotations

import sys


class _Silent:
    """What a bar that is off does: count, write nothing."""

    def __init__(self, total=None, initial=0):
        self.total = total
        self.n = initial

    def update(self, n=1):
        self.n += n

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def bar(total, desc, unit, progress=None, initial=0):
    """A tqdm bar over ``total`` units on stderr, or a silent stand-in when ``progress`` says off.

    ``initial`` counts units already done (a resumed run), so the rate and the
    time left are those of the work still to do.
    """
    if progress is False:
        return _Silent(total, initial)
    try:
        from tqdm import tqdm
    except ImportError:
        if progress:
            raise ImportError("a progress bar needs tqdm: pip install 'korvel[analysis]'") \
                from None
        return _Silent(total, initial)
    # disable=None lets tqdm show the bar only when the stream is a terminal.
    return tqdm(total=total, desc=desc, unit=unit, initial=initial, file=sys.stderr,
                disable=None if progress is None else False, dynamic_ncols=True,
                smoothing=0.1)


def advance(bar, n):
    """Counts ``n`` more units, raising the total when the work turned out larger than planned."""
    if bar.total is not None and bar.n + n > bar.total:
        bar.total = bar.n + n
    bar.update(n)
