"""Many independent evaluations behind one ``executor=`` argument.

A piece of work is described by plain data only: a *context* (dicts, NumPy
arrays, numbers: what every evaluation shares, such as the model description
and the rainfall), a list of *items* (one per evaluation, such as a parameter
vector) and two top-level functions, ``prepare(context) -> state`` (run once
per batch: rebuild the model, index the observations) and
``evaluate(state, item) -> result``.  Nothing of the extension crosses a
process boundary, and the same code path serves every executor:

* ``None``: serially, in the calling thread;
* ``"threads"``: a thread pool with one thread per core (it only gains once
  the extension releases the interpreter during its long computations);
* ``"processes"`` or an ``int`` *n*: a :class:`WorkerPool` of one process per
  core, or of *n* processes, for this run only;
* a :class:`WorkerPool`: worker processes that serve many runs (started once);
* any :class:`concurrent.futures.Executor` (used as given, never shut down);
* a Dask ``distributed.Client`` (the context is scattered to every worker
  once, the batches are submitted as tasks; each worker is told to keep the
  pages of large temporaries between evaluations, which the nanny's
  ``MALLOC_TRIM_THRESHOLD_`` would have it give back after each).

The package is split by concern: :mod:`.backends` (one small class per kind
of executor), :mod:`.policy` (when work leaves the calling process),
:mod:`.core` (the runner that joins them), :mod:`.worker` (what a worker runs,
and how a context travels) and :mod:`.signals` (Ctrl-C, the main-module guard).

Worker processes start by importing the calling script's main module, as
with :mod:`multiprocessing`: a script that uses processes keeps its work under
``if __name__ == "__main__":``. A script that starts the work outside that
guard gets one error saying so, before any worker starts.

A parallel executor does not make the work slower than running it serially:
unless ``batch_size`` is given, the calling process works through the items
itself while the workers start, then times the serial way on a share of the
items and the parallel way on the rest, and from then on takes the faster
way; workers are not started at all when starting them costs more than they
could save; :attr:`Runner.note` says when the work stayed in the calling
process. A process pool whose worker dies (killed, out of memory) is replaced
and the lost batches sent again, a bounded number of times
(:class:`WorkersLost` after that); a context whose file was removed or
changed is sent again with each batch.
"""

from __future__ import annotations

from .backends import WorkerPool
from .core import POOL_RESTARTS, ExecutorLike, Runner, WorkersLost
from .signals import UnguardedMain, unguarded_main_line
from .worker import ContextLost, EvaluationTimeout, run_batch, run_rows, stack_rows

__all__ = [
    "POOL_RESTARTS",
    "ContextLost",
    "EvaluationTimeout",
    "ExecutorLike",
    "Runner",
    "UnguardedMain",
    "WorkerPool",
    "WorkersLost",
    "run_batch",
    "run_rows",
    "stack_rows",
    "unguarded_main_line",
]
