"""Where the runs of an analysis go: this process, a local cluster of
processes, or an existing Dask cluster.

    workers=1               every run in this process, one after the other
                            (small jobs, tests)
    workers=None, or N > 1  a local Dask cluster of N worker processes
                            (default: one per processor this process may use)
    scheduler="tcp://h:p"   an existing Dask cluster, by its scheduler's
                            address (or a distributed.Client already connected)

Worker processes have one thread each: the kernel keeps its state per
process and runs one simulation at a time there. The job an analysis shares
(its circuit, run settings, check) goes to each worker once; every run then
sends only its point. Runs are kept a few per worker ahead, so that Ctrl-C
has little to cancel: it cancels them, closes a cluster the analysis
started, and the KeyboardInterrupt goes on to the caller. A run whose worker
process died comes back as an error with its point, as any other failed run.
"""

import collections
import logging
import os
import signal
import sys
import threading

from .evaluate import Outcome, evaluate

_END = object()


def default_workers():
    """The processors this process may use."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def _progress_bar(show, total, desc):
    if show is None:
        show = sys.stderr.isatty()
    if not show:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm(total=total, desc=desc, unit="run", leave=False, dynamic_ncols=True)


class Backend:
    def __init__(self, workers=None, scheduler=None, progress=None):
        if workers is not None and (not isinstance(workers, int) or isinstance(workers, bool)
                                    or workers < 1):
            raise ValueError(f"workers must be a whole number of at least 1 (got {workers!r})")
        if scheduler is not None and workers is not None:
            raise ValueError("give workers (a cluster of this machine) or scheduler (an "
                             "existing cluster), not both")
        self.scheduler = scheduler
        self.workers = default_workers() if workers is None and scheduler is None else workers
        self.progress = progress
        self.client = None
        self._cluster = None
        self._own_client = False

    @property
    def serial(self):
        return self.scheduler is None and self.workers == 1

    def __enter__(self):
        if not self.serial:
            try:
                self._connect()
            except BaseException:
                self.close()  # a cluster started before the failure
                raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def _connect(self):
        try:
            import distributed
        except ImportError:
            raise ImportError("running on several processes needs Dask: pip install dask "
                              "distributed (or pass workers=1 to run in this process)") from None
        if self.scheduler is None:
            # Ctrl-C at a terminal reaches every process of the group: the
            # workers start with it ignored (and keep it so), and the client
            # alone cancels the runs and closes them. (A Ctrl-C in the few
            # seconds the workers take to start is ignored too.)
            main = threading.current_thread() is threading.main_thread()
            previous = signal.signal(signal.SIGINT, signal.SIG_IGN) if main else None
            try:
                self._cluster = distributed.LocalCluster(
                    n_workers=self.workers, threads_per_worker=1, processes=True,
                    dashboard_address=None, silence_logs=logging.CRITICAL)
            finally:
                if main:
                    signal.signal(signal.SIGINT, previous)
            self.client = distributed.Client(self._cluster)
            self._own_client = True
        elif isinstance(self.scheduler, distributed.Client):
            self.client = self.scheduler
        else:
            try:
                self.client = distributed.Client(self.scheduler, timeout="20s")
            except OSError as err:
                raise ConnectionError(f"cannot reach the Dask scheduler at {self.scheduler!r}: "
                                      f"{err}") from None
            self._own_client = True

    def close(self):
        client, cluster = self.client, self._cluster
        self.client = self._cluster = None
        if client is not None and self._own_client:
            client.close()
        if cluster is not None:
            cluster.close()

    def run(self, job, points, follow=None, total=None, desc=None):
        """Runs evaluate(job, point) for each (key, point) of points, and for
        each (key, point) that follow(key, outcome) returns as runs finish;
        returns {key: Outcome}."""
        bar = _progress_bar(self.progress, total, desc)
        try:
            if self.serial:
                return self._run_here(job, points, follow, bar)
            return self._run_cluster(job, points, follow, bar)
        finally:
            if bar is not None:
                bar.close()

    @staticmethod
    def _run_here(job, points, follow, bar):
        done = {}
        queue = collections.deque()
        points = iter(points)
        while True:
            item = queue.popleft() if queue else next(points, _END)
            if item is _END:
                return done
            key, point = item
            outcome = done[key] = evaluate(job, point)
            if bar is not None:
                bar.update()
            if follow is not None:
                queue.extend(follow(key, outcome))

    def _run_cluster(self, job, points, follow, bar):
        from distributed import as_completed

        client = self.client
        slots = sum(client.nthreads().values())
        if not slots:
            try:
                client.wait_for_workers(1, timeout=60)
            except Exception:
                raise RuntimeError(f"the Dask cluster at {client.scheduler.address} has no "
                                   "workers") from None
            slots = sum(client.nthreads().values())
        try:
            shared = client.scatter(job, broadcast=True, hash=False)
        except Exception as err:
            raise TypeError(f"the analysis cannot be sent to the workers ({err}): its check "
                            "and measure must be picklable") from err
        ahead = 4 * max(1, slots)
        done, inflight = {}, {}
        queue = collections.deque()
        points = iter(points)
        running = as_completed()

        def fill():
            while len(inflight) < ahead:
                item = queue.popleft() if queue else next(points, _END)
                if item is _END:
                    return
                future = client.submit(evaluate, shared, item[1], pure=False)
                inflight[future] = item
                running.add(future)

        try:
            fill()
            for future in running:
                key, point = inflight.pop(future)
                try:
                    outcome = future.result()
                except Exception as err:  # the worker died, or the cluster lost the run
                    outcome = Outcome(error=f"the run did not come back from the cluster: "
                                            f"{type(err).__name__}: {err}")
                done[key] = outcome
                if bar is not None:
                    bar.update()
                if follow is not None:
                    queue.extend(follow(key, outcome))
                fill()
        except BaseException:
            client.cancel(list(inflight))
            raise
        finally:
            client.cancel([shared])
        return done
