"""Training IBM Models 1 and 2 on a Dask cluster: the corpus cut into shards, each shard's
E-steps on the workers, the sums and the M-steps in this process.

The corpus is cut into shards of ``shard_size`` pairs (the last one shorter). A worker reads
its shards itself when it can open the input files (a shared file system; compressed files are
always read here and sent); each shard's pairs and tables stay on its worker across iterations
and every iteration sends it the values of its own cells only. Word ids are those one process
gives the whole corpus (each shard's first appearances registered in shard order), and a
shard's E-step is one process's arithmetic pair for pair. The counts of a cell are added up in
shard order (within a shard in pair order), and the entropy is the sum of the shards' sums, in
shard order, over the number of pairs. So for a given corpus, settings and shard size every
file is the same bytes whatever the number of workers and the order in which they finish; with
one shard they are one process's files. With several shards a cell's count is
``((0 + c_1) + c_2) + ...`` over the shards' partial sums instead of one running sum over all
pairs, which can differ from one process's in the last bits.

Dask is an optional dependency: ``pip install 'zel[distributed]'``.
"""

import itertools
import logging
import os
from concurrent.futures import CancelledError
from dataclasses import dataclass

import numpy as np

from zel.common import files, threads
from zel.common import logging as zlogging
from zel.common.config import Config

from . import _shards, emalign

logger = zlogging.getColorLogger(__name__)

SHARD_SIZE = 100_000
MODEL1_TITLE = "start training IBM Model 1"
MODEL2_TITLE = "start training IBM Model 2"
INSTALL_HINT = "training on a Dask cluster needs Dask: pip install 'zel[distributed]'"
_NO_LIMIT = 2**63 - 1
_RETRIES = 3  # times a shard's work is submitted again after its worker was lost


class Interrupted(KeyboardInterrupt):
    """Ctrl-C ended training after an M-step: the files of that step were written."""


def _dask():
    try:
        import distributed
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return distributed


# --- shards: where each one's lines are -------------------------------------------------------


@dataclass(frozen=True)
class Side:
    """One side of a shard: `count` lines of `path` from byte `offset`, or their `text`."""

    count: int
    path: str | None = None
    offset: int = 0
    text: bytes | None = None

    def read(self):
        if self.text is not None:
            return self.text
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            return _first_lines(f, self.count)


@dataclass(frozen=True)
class Source:
    """Shard `index`: pairs ``first`` to ``first + count - 1`` (0-based) of the corpus."""

    index: int
    first: int
    count: int
    src: Side
    trg: Side


def _first_lines(f, count):
    """The first `count` lines of the binary file `f` from where it stands."""
    parts, seen = [], 0
    while seen < count:
        block = f.read(1 << 22)
        if not block:
            break
        n = block.count(b"\n")
        if seen + n >= count:
            end = -1
            for _ in range(count - seen):
                end = block.index(b"\n", end + 1)
            parts.append(block[: end + 1])
            break
        parts.append(block)
        seen += n
    return b"".join(parts)


def _line_offsets(path, every):
    """The byte offsets of lines 0, every, 2 * every, ... and the number of lines (a last line
    without a line feed counts)."""
    offsets, lines, position, last = [0], 0, 0, b"\n"
    with open(path, "rb") as f:
        while block := f.read(1 << 24):
            start = 0
            while True:
                need = len(offsets) * every - lines  # line feeds before the next cut
                n = block.count(b"\n", start)
                if n < need:
                    lines += n
                    break
                for _ in range(need):
                    start = block.index(b"\n", start) + 1
                lines += need
                offsets.append(position + start)
            position += len(block)
            last = block[-1:]
    return offsets, lines + (last != b"\n")


def _text_lines(path, count, every):
    """The lines of a compressed file, `every` at a time, bytes each, up to `count` lines."""
    with files.open(path, "rb") as f:
        for first in range(0, count, every):
            yield b"".join(itertools.islice(f, min(every, count - first)))


def plan_shards(src_path, trg_path, shard_size=SHARD_SIZE):
    """The shards of a corpus: a list of Source, and the number of pairs (as many as the shorter
    file has lines)."""
    if isinstance(shard_size, bool) or not isinstance(shard_size, int) or shard_size < 1:
        raise ValueError(f"the shard size must be a positive whole number, not {shard_size!r}")
    counts, offsets = [], []
    for path in (src_path, trg_path):
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no such corpus file: {os.fsdecode(path)}")
        if files.is_plain(path):
            o, n = _line_offsets(path, shard_size)
        else:
            o, n = None, sum(1 for _ in files.open(path, "rb"))
        offsets.append(o)
        counts.append(n)
    pairs = min(counts)
    if counts[0] != counts[1]:
        logger.warning(
            "the corpus files differ in length (%s: %d lines, %s: %d lines): only the first %d "
            "pairs are used",
            os.fsdecode(src_path),
            counts[0],
            os.fsdecode(trg_path),
            counts[1],
            pairs,
        )
    texts = [
        None if o is not None else _text_lines(path, pairs, shard_size)
        for path, o in zip((src_path, trg_path), offsets, strict=True)
    ]
    shards = []
    for index, first in enumerate(range(0, pairs, shard_size)):
        count = min(shard_size, pairs - first)
        sides = [
            Side(count, text=next(t))
            if t is not None
            else Side(count, path=os.fsdecode(path), offset=o[index])
            for path, o, t in zip((src_path, trg_path), offsets, texts, strict=True)
        ]
        shards.append(Source(index, first, count, *sides))
    return shards, pairs


def with_texts(source):
    """`source` with the lines of both sides read here, for workers that cannot open them."""
    return Source(
        source.index,
        source.first,
        source.count,
        Side(source.count, text=source.src.read()),
        Side(source.count, text=source.trg.read()),
    )


# --- work done on the workers -----------------------------------------------------------------


class Shard:
    """A shard as a worker holds it: its native trainer, made when first used. Pickled, it is
    its source and ids only, so a shard moved or recomputed by Dask is made again the same."""

    def __init__(self, source, character, joined=None):
        self.source, self.character, self.joined = source, character, joined
        self._native = None

    def native(self):
        if self._native is None:
            trainer = _shards.ShardTrainer(
                self.source.src.read(), self.source.trg.read(), self.character
            )
            if trainer.pairs != self.source.count:
                raise ValueError(
                    f"shard {self.source.index} read {trainer.pairs} pairs, not "
                    f"{self.source.count}: the corpus files changed while training"
                )
            if self.joined is not None:
                trainer.join(*self.joined)
            self._native = trainer
        return self._native

    def __getstate__(self):
        return {"source": self.source, "character": self.character, "joined": self.joined}

    def __setstate__(self, state):
        self.__init__(state["source"], state["character"], state["joined"])


def survey(source, character):
    """A shard's words (by id, as it first meets them) and longest sentences."""
    trainer = Shard(source, character).native()
    return trainer.words(True), trainer.words(False), trainer.max_lengths


def join(source, character, src_ids, trg_ids, shape):
    shard = Shard(source, character, (src_ids, trg_ids, shape))
    shard.native()
    return shard


def shard_keys(shard):
    trainer = shard.native()
    return trainer.cell_keys(), trainer.block_keys()


def shard_step(shard, values, model):
    """Sets the whole's values (None: the initial ones); returns the entropy sum and flags, and
    with a `model` (1 or 2) its E-step's counts and flags."""
    trainer = shard.native()
    if values is not None:
        trainer.set_values(*values)
    if not model:
        return trainer.entropy_sum(), None
    entropy, *counts = trainer.expect(model)
    return entropy, counts


def shard_outputs(shard, values, scores, decoded):
    trainer = shard.native()
    if values is not None:
        trainer.set_values(*values)
    return trainer.outputs(scores, decoded)


def memory_in_use():
    import psutil

    return psutil.Process().memory_info().rss


# --- the whole, in this process ---------------------------------------------------------------


class _Blocks:
    """Where each shard's alignment values and rows lie in the whole's table."""

    def __init__(self):
        self.order = {}  # (a, b) -> block number, in order of first appearance
        self.offsets, self.rows = [0], [0]

    def add(self, flat):
        for a, b in flat.reshape(-1, 2).tolist():
            if (a, b) not in self.order:
                self.order[(a, b)] = len(self.order)
                self.offsets.append(self.offsets[-1] + (b + 1) * (a + 2))
                self.rows.append(self.rows[-1] + b + 1)

    def flat(self):
        return np.array([x for key in self.order for x in key], dtype=np.uint64)

    def maps(self, flat):
        values, rows = [], []
        for a, b in flat.reshape(-1, 2).tolist():
            k = self.order[(a, b)]
            values.append(np.arange(self.offsets[k], self.offsets[k + 1]))
            rows.append(np.arange(self.rows[k], self.rows[k + 1]))
        empty = np.zeros(0, dtype=np.int64)
        return np.concatenate(values or [empty]), np.concatenate(rows or [empty])


class Cluster:
    """A Dask client: of the scheduler at `scheduler`, or of a local cluster of `workers`
    worker processes on this machine (loopback only), closed with the context."""

    def __init__(self, workers=None, scheduler=None, memory_limit="auto"):
        distributed = _dask()
        self._cluster = None
        if scheduler is not None:
            try:
                self.client = distributed.Client(scheduler, timeout="10s")
            except (OSError, TimeoutError) as e:
                raise ConnectionError(
                    f"cannot reach the Dask scheduler at {scheduler}: {e}"
                ) from None
            return
        if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
            raise ValueError(
                f"the number of workers must be a positive whole number, not {workers!r}"
            )
        share = max(1, (threads.get_threads() or threads.usable_cores()) // workers)
        self._cluster = distributed.LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address="127.0.0.1:0",
            memory_limit=memory_limit,
            env={threads.VARIABLE: str(share)},
        )
        self.client = distributed.Client(self._cluster)

    def close(self):
        self.client.close()
        if self._cluster is not None:
            self._cluster.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class _Run:
    """One training run on a cluster."""

    def __init__(self, client, shards, pairs, character):
        self.client, self.pairs, self.character = client, pairs, character
        self.sources = shards
        self.whole = _shards.WholeTrainer()
        self.shards = []  # futures of Shard, by shard
        self.cell_maps, self.value_maps, self.row_maps = [], [], []
        self.pending = None  # the M-step being made: (model, counts)
        self.trained = False  # an M-step was made
        # Each shard's values after the last M-step, scattered (None in the list: not sent yet);
        # None: the initial ones, which the shards make themselves.
        self.values = None

    def _ordered(self, submit, count, what, refused=None):
        """Runs submit(k, again) for every shard k and yields the results in shard order as they
        come. Work lost with a worker (values it held that have no recipe) is submitted again,
        as is work that met an OSError after refused(k, error) (when given) made it anew; a
        shard whose tasks keep ending their workers is a MemoryError."""
        distributed = _dask()
        shard_of, tries, done = {}, [0] * count, {}
        running = distributed.as_completed()

        def start(k, again):
            future = submit(k, again)
            shard_of[future.key] = k
            running.add(future)

        for k in range(count):
            start(k, False)
        next_k = 0
        for future in running:
            k = shard_of.pop(future.key)
            try:
                done[k] = future.result()
            except distributed.KilledWorker as e:
                raise MemoryError(
                    f"{what}: shard {k}'s work ended every worker that took it ({e}); Dask ends a "
                    "worker over its memory limit: give the workers more memory or use a "
                    "smaller shard size"
                ) from None
            except OSError as e:
                if refused is None or tries[k] >= _RETRIES:
                    raise
                tries[k] += 1
                refused(k, e)
                start(k, True)
                continue
            except CancelledError as e:
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

    def setup(self):
        client = self.client
        sources = list(self.sources)

        def read(k, again):
            return client.submit(survey, sources[k], self.character, pure=False)

        def send_lines(k, error):
            # A worker that cannot open the corpus gets its lines from here.
            logger.debug("shard %d: %s; sending its lines", k, error)
            sources[k] = with_texts(sources[k])

        ids = []
        for src_words, trg_words, (src_len, trg_len) in self._ordered(
            read, len(sources), "reading", send_lines
        ):
            ids.append(
                (self.whole.add_words(True, src_words), self.whole.add_words(False, trg_words))
            )
            self.whole.add_lengths(src_len, trg_len)
        self.sources = sources
        shape = self.whole.shape
        logger.info(f"source vocabulary size: {shape[0]:,}")
        logger.info(f"target vocabulary size: {shape[1]:,}")
        self.shards = [
            client.submit(join, s, self.character, src, trg, shape, pure=False)
            for s, (src, trg) in zip(self.sources, ids, strict=True)
        ]
        keys = list(
            self._ordered(
                lambda k, again: client.submit(shard_keys, self.shards[k], pure=False),
                len(self.shards),
                "indexing",
            )
        )
        # The whole's cells: every shard's keys (each shard's ascending), sorted in place and
        # made distinct, with no copy beside them; then where each shard's lie among them.
        cells = np.concatenate([k for k, _ in keys])
        cells.sort()
        distinct = np.ones(len(cells), dtype=bool)
        distinct[1:] = cells[1:] != cells[:-1]
        cells = cells[distinct]
        del distinct
        if len(cells) >= 2**32:
            raise MemoryError(
                f"the corpus has {len(cells):,} word pairs, more than training on a cluster "
                "can index (2^32)"
            )
        self.cell_maps = []
        for k, (shard_cells, flat) in enumerate(keys):
            self.cell_maps.append(np.searchsorted(cells, shard_cells).astype(np.uint32))
            keys[k] = (None, flat)
        blocks = _Blocks()
        for _, flat in keys:
            blocks.add(flat)
        self.whole.make_tables(cells, blocks.flat())
        for _, flat in keys:
            value_map, row_map = blocks.maps(flat)
            self.value_maps.append(value_map)
            self.row_maps.append(row_map)
        sent = sum(8 * (len(c) + len(v)) + len(r) for c, v, r in self._maps())
        back = sum(8 * (len(c) + len(v)) for c, v, _ in self._maps())
        logger.debug(
            "%d shards, %s cells; an iteration sends %s bytes of values and gets %s bytes of "
            "counts back",
            len(self.shards),
            f"{len(cells):,}",
            f"{sent:,}",
            f"{back:,}",
        )

    def _maps(self):
        return zip(self.cell_maps, self.value_maps, self.row_maps, strict=True)

    def _values(self, k):
        """Shard k's current values, scattered to the worker that holds the shard."""
        trans = self.whole.trans_values()
        align, tail = self.whole.align_values()
        values = (trans[self.cell_maps[k]], align[self.value_maps[k]], tail[self.row_maps[k]])
        shard = self.shards[k]
        where = list(self.client.who_has(shard).get(shard.key, ()))
        return self.client.scatter(values, workers=where or None, hash=False)

    def _submit(self, function, k, again, *args):
        """function(shard k, its values, *args) on the cluster. A shard's values are sent just
        before its task, so the first shards compute while the others' values travel; they are
        sent again when the last ones were lost."""
        if self.values is not None and (again or self.values[k] is None):
            self.values[k] = self._values(k)
        values = None if self.values is None else self.values[k]
        return self.client.submit(function, self.shards[k], values, *args, pure=False)

    def evaluate(self, model):
        """The entropy under the current values and, with a `model`, the counts of its E-step,
        summed over the shards in shard order (into arrays of their own)."""
        futures = self._ordered(
            lambda k, again: self._submit(shard_step, k, again, model), len(self.shards), "E-step"
        )
        total, raised, count_flags = 0.0, 0, 0
        trans = align = None
        if model:
            trans = np.zeros(len(self.whole.trans_counts()))
            align = np.zeros(len(self.whole.align_counts()))
        for k, ((h, flags), counts) in enumerate(futures):
            total += h
            raised |= flags
            if counts is not None:
                trans[self.cell_maps[k]] += counts[0]
                if model == 2:
                    align[self.value_maps[k]] += counts[1]
                count_flags |= counts[2]
        _shards.report_flags(raised, "log")
        return total / self.pairs, (trans, align, count_flags) if model else None

    def memory_report(self):
        if logger.isEnabledFor(logging.DEBUG):
            for worker, rss in sorted(self.client.run(memory_in_use).items()):
                logger.debug("worker %s: %s bytes in use", worker, f"{rss:,}")

    def _maximize(self, phase, counts):
        trans, align, _ = counts
        self.whole.trans_counts()[:] = trans
        if phase == 2:
            self.whole.align_counts()[:] = align
        self.whole.maximize(phase)

    def train(self, limit):
        """Model 1 then Model 2, each up to `limit` iterations, stopping when the entropy stops
        falling, as one process trains them. After Ctrl-C, what the last complete M-step made
        stays for the files."""
        model_of_counts = 1
        h, counts = self.evaluate(model_of_counts)
        for phase, title in ((1, MODEL1_TITLE), (2, MODEL2_TITLE)):
            logger.info("----")
            logger.info(title)
            if phase == 2 and model_of_counts != 2:
                model_of_counts = 2
                h, counts = self.evaluate(2)
            logger.info("initial entropy: %r", h)
            prev = h
            for step in range(limit):
                logger.info("--")
                logger.info("step: %d / %d", step + 1, limit)
                if phase == 2:
                    _shards.report_flags(counts[2], "divide")
                self.pending = (phase, counts)
                self._maximize(phase, counts)
                self.pending = None
                self.trained = True
                self.values = [None] * len(self.shards)
                following = phase if step + 1 < limit else (2 if phase == 1 else 0)
                h, counts = self.evaluate(following)
                model_of_counts = following
                self.memory_report()
                logger.info("entropy: %r", h)
                if h >= prev:
                    break
                prev = h

    def settle(self):
        """After an interrupt: the M-step it cut is done again, so values and counts agree."""
        if self.pending is not None:
            self._maximize(*self.pending)
            self.pending = None
        self.values = [None] * len(self.shards)

    def write_outputs(self, data):
        threshold = data.threshold
        nbest = _NO_LIMIT if data.nbest is None else int(data.nbest)
        self.whole.save_trans(data.save_trans_path, float(threshold), str(threshold), nbest)
        if data.save_align_path:
            self.whole.save_align(data.save_align_path, float(threshold), str(threshold))
        scores, decoded = bool(data.save_scores), bool(data.decode_align)
        if not (scores or decoded):
            return
        results = self._ordered(
            lambda k, again: self._submit(shard_outputs, k, again, scores, decoded),
            len(self.shards),
            "scores",
        )
        outputs = [files.Output(p, binary=True) for p in (data.save_scores, data.decode_align) if p]
        try:
            raised = 0
            for score_text, decoded_text, flags in results:
                raised |= flags
                texts = [
                    t for t, wanted in ((score_text, scores), (decoded_text, decoded)) if wanted
                ]
                for out, text in zip(outputs, texts, strict=True):
                    out.write(text)
            for out in outputs:
                out.close()
        finally:
            for out in outputs:
                if not out.closed:
                    out.discard()
        _shards.report_flags(raised, "log")


def _settings(conf):
    data = conf.data
    limit = conf.get("iteration_limit", emalign.ITERATION_LIMIT)
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"training on a cluster takes at least one iteration, not {limit!r}")
    for key in ("src_path", "trg_path", "save_trans_path"):
        if not conf.get(key, None):
            raise ValueError(f"the setting {key} is missing")
    defaults = {"threshold": emalign.THRESHOLD, "nbest": emalign.NBEST}
    for key in ("save_align_path", "save_scores", "decode_align"):
        defaults[key] = None
    conf.update({k: v for k, v in defaults.items() if not conf.has([k])})
    files.check_outputs(
        [
            conf.get(k)
            for k in ("save_trans_path", "save_align_path", "save_scores", "decode_align")
        ],
        [data.src_path, data.trg_path],
    )
    return data, limit


def train(conf, *, workers=None, scheduler=None, shard_size=SHARD_SIZE, cluster=None, **others):
    """Train IBM Models 1 and 2 on a Dask cluster and write zel-train's files.

    `conf` has zel-train's settings (``src_path``, ``trg_path``, ``save_trans_path`` and
    optionally ``save_align_path``, ``save_scores``, ``decode_align``, ``iteration_limit``,
    ``threshold``, ``nbest``, ``character``); keyword settings override it. The cluster is the
    scheduler at `scheduler`, or a local cluster of `workers` processes, or an open `cluster`
    (a Cluster). Returns True once the files are written. Ctrl-C after the first M-step writes
    the files of the last complete step, then raises Interrupted (a KeyboardInterrupt).
    """
    conf = Config(conf)
    conf.update(others)
    data, limit = _settings(conf)
    character = bool(conf.get("character", False))
    shards, pairs = plan_shards(data.src_path, data.trg_path, shard_size)
    if pairs == 0:
        raise ValueError(f"the corpus {os.fsdecode(data.src_path)} has no sentence pairs")
    logger.info("----")
    logger.info(
        "training on a cluster: %d pairs in %d shards of %d", pairs, len(shards), shard_size
    )
    own = cluster is None
    cluster = Cluster(workers, scheduler) if own else cluster
    try:
        run = _Run(cluster.client, shards, pairs, character)
        run.setup()
        interrupted = False
        try:
            run.train(limit)
        except KeyboardInterrupt:
            if not run.trained:
                raise
            interrupted = True
            logger.warning("interrupted by keyboard")
            logger.info("forcing to dump alignments and scores")
            run.settle()
        logger.info("----")
        run.write_outputs(data)
        if interrupted:
            raise Interrupted()
        return True
    finally:
        if own:
            cluster.close()
