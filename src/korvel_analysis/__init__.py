"""korvel_analysis: from tables of reads to fitted parameters, intervals and plots.

The steps, each a plain function over NumPy arrays:

- ``read_reads``, ``read_counts``: read and check input tables;
- ``pp``: preparation (density and methylation bins, observed fractions,
  bootstrap resamples in the module's row layout);
- ``tl``: tools (fits in every mode, bootstraps, profiles, intervals, drift,
  phase grids);
- ``pl``: plotting (each function draws on a given ``ax`` and returns it);
- ``simulate``: exact stochastic simulation of the 70-site process;
- ``gof``: does the model fit? Goodness of fit per density bin, and the
  comparison of fits in several modes (AIC, BIC, likelihood-ratio tests);
- ``extract``: reads tables from BAM/CRAM files and per-CpG tables
  (``extract.extract``; BAM and CRAM need pysam, ``korvel[bam]``);
- ``fit_reads``, ``drift_reads``: a whole run of ``korvel fit`` or ``korvel drift``
  from Python, as a ``FitRun`` or ``DriftRun`` that tables, draws and writes it
  (``runs``).

The ``korvel`` command (``korvel_analysis.cli``) is a thin layer over these.
"""

from . import extract, gof, pl, pp, simulate, tl
from .provenance import korvel_version
from .readers import InputError, read_counts, read_reads, write_reads
from .runs import DriftRun, FitRun, drift_reads, fit_reads

__version__ = korvel_version()
__all__ = ["DriftRun", "FitRun", "InputError", "drift_reads", "extract", "fit_reads", "gof",
           "pl", "pp", "read_counts", "read_reads", "simulate", "tl", "write_reads", "__version__"]
