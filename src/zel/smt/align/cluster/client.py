"""Training runs on a Dask cluster: the client of a cluster, and the drivers that submit the
shards' and ranges' work (zel.smt.align.cluster.tasks) and read what this process needs of it.
See zel.smt.align.cluster for what is trained and how the files compare with one
process's."""

import contextlib
import itertools
import logging
import signal
import threading
import time
from concurrent.futures import CancelledError

import numpy as np

import zel
from zel.common import files, threads
from zel.common import logging as zlogging

from .. import _shards
from .shards import with_texts
from .tasks import (
    Rows,
    count_piece,
    cut_bounds,
    join,
    key_piece,
    memory_in_use,
    readable,
    rows_cells,
    rows_initial,
    rows_lines,
    rows_maximize,
    rows_values,
    shard_cut,
    shard_rows,
    summary,
    survey,
)

logger = zlogging.getColorLogger(__name__)

INSTALL_HINT = "training on a Dask cluster needs Dask: pip install 'zel[distributed]'"
NO_LIMIT = 2**63 - 1
_RETRIES = 3  # times a shard's work is submitted again after its worker was lost


def dask():
    """The dask.distributed module; ImportError saying how to install it when missing."""
    try:
        import distributed
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return distributed


# Seconds to wait for a scheduler's answer, and for a cluster that makes no progress (no
# worker left, or workers idle while work waits) before the run ends with an error.
CONNECT_TIMEOUT = 20
STALL_TIMEOUT = 120
_POLL = 2  # seconds between looks at a cluster that makes no progress
# Local workers at most, per usable core: beyond it each has too little memory and CPU to
# hold a shard, and the system's process limit comes near.
_WORKERS_PER_CORE = 8


def _connect(distributed, scheduler):
    """A client of the scheduler at `scheduler`. A server that never answers, or one that is
    not a Dask scheduler, is a ConnectionError naming the address."""
    made = {}

    def connect():
        try:
            made["client"] = distributed.Client(scheduler, timeout=f"{CONNECT_TIMEOUT}s")
        except Exception as e:
            made["error"] = e

    # The client's handshake waits for an answer without a limit: it is waited for here.
    thread = threading.Thread(target=connect, name="zel-connect", daemon=True)
    thread.start()
    thread.join(CONNECT_TIMEOUT + 5)
    if "client" in made:
        return made["client"]
    error = made.get("error")
    if error is None:
        why = f"no answer within {CONNECT_TIMEOUT + 5} s (is it a Dask scheduler?)"
    elif isinstance(error, OSError | TimeoutError):
        why = zlogging.error_text(error)
    else:
        why = f"it does not answer as a Dask scheduler ({zlogging.error_text(error)})"
    raise ConnectionError(f"cannot reach the Dask scheduler at {scheduler}: {why}")


def _zel_version():
    """The version of zel installed where this runs, or None."""
    from importlib import metadata

    try:
        return metadata.version("zel")
    except metadata.PackageNotFoundError:
        return None


def _check_workers(client):
    """Refuses workers that lack zel (they cannot load the function sent) or have another
    version, naming them."""
    versions = client.run(_zel_version, on_error="return")
    wanted = zel.__version__
    wrong = {w: v for w, v in sorted(versions.items()) if v != wanted}
    if wrong:
        told = ", ".join(
            f"{w} ({'zel ' + v if isinstance(v, str) else 'no zel'})" for w, v in wrong.items()
        )
        raise RuntimeError(f"every Dask worker needs zel {wanted}, as this process has: {told}")


class Cluster:
    """A Dask client: of the scheduler at `scheduler`, or of a local cluster of `workers`
    worker processes on this machine (loopback only), closed with the context. Workers that
    join or leave are logged; Dask's own log lines are shown at debug level only."""

    def __init__(self, workers=None, scheduler=None, memory_limit="auto"):
        distributed = dask()
        self._cluster = None
        self._subscribed = False
        self.address = scheduler
        self._dask_levels = _quiet_dask_logs()
        try:
            if scheduler is not None:
                self.client = _connect(distributed, scheduler)
            else:
                self.client = self._local(distributed, workers, memory_limit)
            self.address = self.client.scheduler.address
            if scheduler is not None:
                _check_workers(self.client)
            self.client.subscribe_topic("all", self._worker_event)
            self._subscribed = True
        except BaseException:
            self.close()
            raise

    def _local(self, distributed, workers, memory_limit):
        cores = threads.get_threads() or threads.usable_cores()
        most = _WORKERS_PER_CORE * threads.usable_cores()
        if isinstance(workers, bool) or not isinstance(workers, int) or not 1 <= workers <= most:
            raise ValueError(
                f"the number of workers must be a whole number from 1 to {most} "
                f"({_WORKERS_PER_CORE} a usable core), not {workers!r}"
            )
        # A worker's native work may use twice its share of the cores: a worker waits while
        # its shards' values come and the ranges re-estimate, and the others' threads fill those
        # gaps (2 workers on 2 cores: 107 s instead of 119-124 s for a million pairs).
        share = max(1, min(cores, 2 * cores // workers))
        from dask import config as dask_config

        # Without work stealing: it would move a shard's task to an idle worker, and the shard
        # with it, to be made again there from its lines (about 2 s a shard of 100,000 pairs).
        with (
            dask_config.set({"distributed.scheduler.work-stealing": False}),
            _interrupts_ignored(),
        ):
            self._cluster = distributed.LocalCluster(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address="127.0.0.1:0",
                memory_limit=memory_limit,
                silence_logs=logging.DEBUG
                if logger.isEnabledFor(logging.DEBUG)
                else logging.CRITICAL,
                env={threads.VARIABLE: str(share)},
            )
        return distributed.Client(self._cluster)

    def _worker_event(self, event):
        _, message = event
        if not isinstance(message, dict) or "worker" not in message:
            return
        action = message.get("action")
        if action == "add-worker":
            logger.info("worker %s joined the cluster", message["worker"])
        elif action == "remove-worker":
            logger.warning(
                "worker %s left the cluster; its work is made again on the others",
                message["worker"],
            )

    @contextlib.contextmanager
    def scheduler_kept(self):
        """Inside the block, an error that comes of losing the scheduler is a ConnectionError
        naming it."""
        try:
            yield
        except ConnectionError:
            raise
        except Exception as e:
            if self.client.status == "running":
                raise
            why = zlogging.error_text(e).splitlines()[0].rstrip(":")
            raise ConnectionError(f"lost the Dask scheduler at {self.address} ({why})") from None

    def require_workers(self, what):
        """A ConnectionError at once when the cluster has no worker to do `what`."""
        if not self.client.scheduler_info().get("workers"):
            raise ConnectionError(f"no Dask worker on the cluster: {what} cannot be done")

    def close(self):
        client = getattr(self, "client", None)
        try:
            if self._subscribed:
                # The workers a local cluster ends are not news.
                client.unsubscribe_topic("all")
            if client is not None:
                client.close()
            if self._cluster is not None:
                self._cluster.close()
        finally:
            _restore_logs(self._dask_levels)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


@contextlib.contextmanager
def _interrupts_ignored():
    """Worker processes started inside ignore Ctrl-C and SIGTERM sent to the terminal's whole
    process group: this process ends the run and closes them (they inherit the disposition
    when started)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    saved = {s: signal.signal(s, signal.SIG_IGN) for s in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield
    finally:
        for signum, handler in saved.items():
            signal.signal(signum, handler)


_DASK_LOGGERS = ("distributed", "tornado")


def _quiet_dask_logs():
    """Holds Dask's loggers to critical errors unless debugging: a run tells what happened in
    its own lines, without Dask's tracebacks of the recoveries it makes. Returns what
    _restore_logs puts back."""
    if logger.isEnabledFor(logging.DEBUG):
        return {}
    levels = {}
    # Dask sets levels of its own on some of its loggers: each is held, not only the parents.
    names = [n for n in logging.root.manager.loggerDict if n.split(".")[0] in _DASK_LOGGERS]
    for name in sorted({*_DASK_LOGGERS, *names}):
        levels[name] = logging.getLogger(name).level
        logging.getLogger(name).setLevel(logging.CRITICAL)
    return levels


def _restore_logs(levels):
    for name, level in levels.items():
        logging.getLogger(name).setLevel(level)


def _row_cuts(counts, parts):
    """Row boundaries cutting the rows into `parts` ranges of about equal cells."""
    total = np.cumsum(counts)
    targets = [int(total[-1]) * p // parts for p in range(1, parts)] if len(total) else []
    inner = np.searchsorted(total, targets, side="right").tolist()
    return [0, *inner, len(counts)]


def preferring(workers):
    """Submit options that run a task on one of `workers` while any of them is alive."""
    return {"workers": workers, "allow_other_workers": True} if workers else {}


def _killed(work, error):
    return MemoryError(
        f"{work} ended every worker that took it ({error}); Dask ends a worker over its memory "
        "limit: give the workers more memory, use more workers or a smaller shard size"
    )


class _Watch:
    """Waits for work on a cluster, and ends a run that cannot go on with an error saying why:
    its scheduler lost, or no work done for STALL_TIMEOUT seconds while no worker runs any (no
    worker left, or those left do not take the work that waits)."""

    def __init__(self, what):
        self.what = what
        self.since = None

    def wait(self, futures):
        """The futures of `futures` that are done, once one is."""
        distributed = dask()
        while True:
            client = futures[0].client
            if client.status not in ("running", "connecting"):
                raise ConnectionError(f"{self.what}: lost the Dask scheduler ({client.status})")
            try:
                # wait() uses the default client: another client of this process (a
                # program's own) would wait on these futures by polling.
                with client.as_current():
                    done, _ = distributed.wait(
                        futures, timeout=_POLL, return_when="FIRST_COMPLETED"
                    )
            except TimeoutError:
                self._check(client, len(futures))
                continue
            self.since = None
            return done

    def _check(self, client, waiting):
        now = time.monotonic()
        workers = client.scheduler_info().get("workers", {}) if client.status == "running" else {}
        busy = any(
            w.get("metrics", {}).get("task_counts", {}).get("executing") for w in workers.values()
        )
        if busy or self.since is None:
            self.since = None if busy else now
            return
        if now - self.since < STALL_TIMEOUT:
            return
        if client.status != "running":
            raise ConnectionError(
                f"{self.what}: lost the Dask scheduler: no answer for {STALL_TIMEOUT} s"
            )
        if not workers:
            raise ConnectionError(
                f"{self.what}: no Dask worker on the cluster for {STALL_TIMEOUT} s, and the work "
                "that waits cannot go on without one: start workers and run again"
            )
        raise RuntimeError(
            f"{self.what}: {len(workers)} workers idle for {STALL_TIMEOUT} s while {waiting} "
            "tasks wait: their work was lost with the workers that held it, and Dask does not "
            "give it to the others"
        )


def gather(futures, what):
    """The futures' results; work that keeps ending its workers is a MemoryError."""
    distributed = dask()
    watch = _Watch(what)
    waiting = list(futures)
    while waiting:
        done = watch.wait(waiting)
        waiting = [f for f in waiting if f not in done]
    try:
        return [future.result() for future in futures]
    except distributed.KilledWorker as e:
        raise _killed(what, e) from None


def beside(client, future):
    """Where the tasks of a shard or range run: on the worker holding it, or any worker once
    that one is lost. Dask does not know a shard's size, and work stealing would move a range's
    tasks to an idle worker: either would move the shard or range itself."""
    return preferring(list(client.who_has(future).get(future.key, ())))


def ordered(submit, count, what, refused=None):
    """Runs submit(k, again) for every shard k at once and gives the results in shard order as
    they come. Work lost with a worker beyond what Dask makes again is submitted again, as is
    work that met an OSError after refused(k, error) (when given) made it anew; a shard whose
    tasks keep ending their workers is a MemoryError."""
    distributed = dask()
    shard_of, tries, done = {}, [0] * count, {}
    running = []
    watch = _Watch(what)

    def start(k, again):
        future = submit(k, again)
        shard_of[future.key] = k
        running.append(future)

    for k in range(count):
        start(k, False)

    def finished():
        while running:
            done = watch.wait(running)
            for future in [f for f in running if f in done]:
                running.remove(future)
                yield future

    def results():
        next_k = 0
        for future in finished():
            k = shard_of.pop(future.key)
            try:
                done[k] = future.result()
            except distributed.KilledWorker as e:
                raise _killed(f"{what}: shard {k}'s work", e) from None
            except OSError as e:
                if refused is None or tries[k] >= _RETRIES:
                    raise
                tries[k] += 1
                refused(k, e)
                start(k, True)
                continue
            except CancelledError as e:
                if future.client.status != "running":
                    raise ConnectionError(f"{what}: lost the Dask scheduler") from None
                if tries[k] >= _RETRIES:
                    raise
                tries[k] += 1
                logger.debug("%s: shard %d lost with a worker (%s); submitted again", what, k, e)
                start(k, True)
                continue
            logger.debug("%s: %d / %d shards", what, len(done) + next_k, count)
            while next_k in done:
                yield done.pop(next_k)
                next_k += 1

    return results()


class Table:
    """One direction's translation table on the cluster: its rows cut into ranges of about
    equal cells (one per worker, more when a range would pass 2^31 of the shards' cells, as a
    range numbers its cells in 32 bits; any cut gives the same values), each range held by a
    worker with its values."""

    def __init__(self, client, whole, d):
        self.client, self.whole, self.d = client, whole, d
        self.bounds = []  # per shard: where each range's cells start among its cells
        self.cuts = []  # the rows where each range starts, and the number of rows
        self.rows = []  # futures of Rows, by range
        self.values = []  # futures of each range's values
        self.pieces = {}  # shard -> futures of its cells' values from each range
        self.places = None  # per range, where its tasks run

    def build(self, shards, workers):
        client, d = self.client, self.d
        n_src, n_trg = self.whole.shape[:2]
        row_counts = np.zeros(n_src, dtype=np.uint64)
        for counts in ordered(
            lambda k, again: client.submit(shard_rows, shards[k], d, pure=False),
            len(shards),
            "indexing",
        ):
            row_counts += counts
        parts = max(1, len(workers), -(-int(row_counts.sum()) // 2**31))
        self.cuts = cuts = _row_cuts(row_counts, parts)
        del row_counts
        cut = [client.submit(shard_cut, shard, d, cuts, n_trg, pure=False) for shard in shards]
        self.bounds = gather([client.submit(cut_bounds, c) for c in cut], "indexing")
        for r, (first, end) in enumerate(itertools.pairwise(cuts)):
            keys = [client.submit(key_piece, c, r, pure=False) for c in cut]
            self.rows.append(
                client.submit(
                    Rows,
                    first,
                    end - first,
                    n_trg,
                    *keys,
                    pure=False,
                    **preferring([workers[r % len(workers)]] if workers else []),
                )
            )
        del cut
        self.values = [client.submit(rows_initial, rows, pure=False) for rows in self.rows]
        cells = sum(gather([client.submit(rows_cells, rows) for rows in self.rows], "indexing"))
        shard_cells = sum(int(b[-1]) for b in self.bounds)
        logger.debug(
            "%s cells in %d row ranges; an iteration moves %s bytes of counts to the ranges "
            "and %s bytes of values back",
            f"{cells:,}",
            len(self.rows),
            f"{8 * shard_cells:,}",
            f"{8 * shard_cells:,}",
        )

    def pieces_of(self, k):
        """Futures of shard k's cells' values in each range under the current values."""
        if self.places is None:
            self.places = [beside(self.client, rows) for rows in self.rows]
        if k not in self.pieces:
            # Before the shards' steps: a worker's steps would hold back the pieces another
            # worker's shards wait for.
            self.pieces[k] = [
                self.client.submit(rows_values, rows, v, k, pure=False, priority=1, **place)
                for rows, v, place in zip(self.rows, self.values, self.places, strict=True)
            ]
        return self.pieces[k]

    def drop(self, k):
        """Shard k's table holds its values now: the pieces sent can go (Dask makes them again
        from the ranges if the shard is lost)."""
        self.pieces.pop(k, None)

    def maximize(self, steps, index, prior=0.0):
        """Each range's M-step from the E-step `steps` (its counts at `index` of each step)."""
        submit = self.client.submit
        self.values = [
            submit(
                rows_maximize,
                rows,
                values,
                prior,
                *[submit(count_piece, step, index, r, pure=False) for step in steps],
                pure=False,
                **beside(self.client, rows),
            )
            for r, (rows, values) in enumerate(zip(self.rows, self.values, strict=True))
        ]
        self.pieces, self.places = {}, None

    def write(self, path, threshold, nbest, counts):
        """The translation file (with each cell's count, or the model's without): each range
        writes its rows' lines (on its worker), which are written here in row order."""
        client = self.client
        trg_words = self.whole.words(False, 0, self.whole.shape[1])
        texts = [
            client.submit(
                rows_lines,
                rows,
                values,
                self.whole.words(True, first, end - first),
                trg_words,
                float(threshold),
                str(threshold),
                nbest,
                counts,
                pure=False,
                **beside(client, rows),
            )
            for rows, values, (first, end) in zip(
                self.rows, self.values, itertools.pairwise(self.cuts), strict=True
            )
        ]
        logger.info(
            "storing translation probabilities into file (threshold=%s): %s", threshold, path
        )
        out = files.Output(path, binary=True)
        try:
            for text in texts:
                out.write(*gather([text], "writing the translation file"))
            out.close()
        finally:
            if not out.closed:
                out.discard()


class ShardedRun:
    """One training run on a cluster: the shards, read and joined to the whole's vocabularies
    (one a direction) on the workers, and each direction's translation table in row ranges.
    Everything an iteration makes stays on the workers; this process reads the entropies and
    flags, and at the end writes the lines the ranges and shards give it. Each value is a
    task's result made from the last ones, so Dask can make any of them again after losing a
    worker."""

    def __init__(self, client, shards, pairs, character, model, directions):
        self.client, self.pairs, self.character = client, pairs, character
        self.model, self.directions = model, directions  # the shards' model, and how many ways
        self.sources = shards
        self.wholes = [_shards.WholeTrainer() for _ in range(directions)]
        self.tables = []  # a Table a direction
        self.shards = []  # futures of Shard, by shard
        self.target_words = [0] * directions  # each direction's target words in the corpus
        self.steps = None  # futures of the last E-step, by shard
        self.pending = None  # what the M-step being made needs to be made again
        self.trained = False  # a model to write exists

    def setup(self):
        client = self.client
        sources = list(self.sources)

        def read(k, again):
            return client.submit(
                survey, sources[k], self.character, self.model, self.directions, pure=False
            )

        def send_lines(k, error):
            # A worker that cannot open the corpus gets its lines from here.
            logger.debug("shard %d: %s; sending its lines", k, error)
            sources[k] = with_texts(sources[k])

        ids = []
        for directions in ordered(read, len(sources), "reading", send_lines):
            ids.append([])
            for d, (whole, (src_words, trg_words, (src_len, trg_len), words)) in enumerate(
                zip(self.wholes, directions, strict=True)
            ):
                ids[-1].append(
                    (whole.add_words(True, src_words), whole.add_words(False, trg_words))
                )
                whole.add_lengths(src_len, trg_len)
                self.target_words[d] += words
        self.sources = sources
        n_src, n_trg = self.wholes[0].shape[:2]
        logger.info(f"source vocabulary size: {n_src:,}")
        logger.info(f"target vocabulary size: {n_trg:,}")
        # The shards are dealt to the workers in turn: the scheduler, placing tasks by what it
        # knows of them (not a shard's size), put 6 of 10 on one of 2 workers.
        workers = sorted(client.scheduler_info()["workers"])
        self._send_unreadable(workers)
        self.shards = [
            client.submit(
                join,
                source,
                self.character,
                [(*i, w.shape) for i, w in zip(shard_ids, self.wholes, strict=True)],
                self.model,
                self.directions,
                pure=False,
                **preferring([workers[k % len(workers)]] if workers else []),
            )
            for k, (source, shard_ids) in enumerate(zip(self.sources, ids, strict=True))
        ]
        del ids
        self.tables = [Table(client, whole, d) for d, whole in enumerate(self.wholes)]
        for table in self.tables:
            table.build(self.shards, workers)
        logger.debug("%d shards", len(self.shards))

    def _send_unreadable(self, workers):
        """Sends the lines of the shards that the worker each is dealt to cannot read itself
        (the survey may have read them on another)."""
        if not workers:
            return
        for w in workers:
            dealt = [k for k in range(len(self.sources)) if workers[k % len(workers)] == w]
            sources = [self.sources[k] for k in dealt]
            found = self.client.run(readable, sources, workers=[w], on_error="return").get(w)
            if not isinstance(found, list):
                continue  # the worker is gone: its shards are made where Dask puts them
            for k, ok in zip(dealt, found, strict=True):
                if not ok:
                    logger.info(
                        "shard %d: worker %s cannot read the corpus; its lines are sent", k, w
                    )
                    self.sources[k] = with_texts(self.sources[k])

    def _evaluate(self, step_of, what):
        """Runs step_of(k) (a future of shard k's E-step) for every shard and gives each one's
        summary in shard order; the steps are kept for the M-step."""
        self.steps = [None] * len(self.shards)

        def submit(k, again):
            step = self.steps[k] = step_of(k)
            return self.client.submit(summary, step, pure=False)

        for k, result in enumerate(ordered(submit, len(self.shards), what)):
            for table in self.tables:
                table.drop(k)
            yield result

    def _at_shard(self, task, k, *args):
        """A future of task(shard k, *args), run on the worker holding the shard."""
        shard = self.shards[k]
        return self.client.submit(task, shard, *args, pure=False, **beside(self.client, shard))

    def memory_report(self):
        if logger.isEnabledFor(logging.DEBUG):
            for worker, rss in sorted(self.client.run(memory_in_use).items()):
                logger.debug("worker %s: %s bytes in use", worker, f"{rss:,}")

    def settle(self):
        """After an interrupt: the M-step it cut is made again, and the E-step under way is
        dropped."""
        if self.pending is not None:
            self._maximize(self.pending)
            self.pending = None
        else:
            # Nothing depends on the E-step that was under way.
            self.client.cancel([s for s in self.steps or () if s is not None])
        self.steps = None


def write_texts(paths, results):
    """Writes each result's texts to `paths` in turn (a result is those texts, then flags) and
    gives the flags raised; nothing is left half-written."""
    outputs = [files.Output(p, binary=True) for p in paths]
    try:
        raised = 0
        for *texts, flags in results:
            raised |= flags
            for out, text in zip(outputs, texts, strict=True):
                out.write(text)
        for out in outputs:
            out.close()
    finally:
        for out in outputs:
            if not out.closed:
                out.discard()
    return raised
