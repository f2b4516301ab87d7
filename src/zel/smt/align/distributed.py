"""Training IBM Models 1 and 2 on a Dask cluster: the corpus cut into shards, each shard's
E-steps on the workers, the whole's rows cut into ranges re-estimated on the workers too.

The corpus is cut into shards of ``shard_size`` pairs (the last one shorter). A worker reads
its shards itself when it can open the input files (a shared file system; compressed files are
always read here and sent); each shard's pairs and tables stay on its worker across iterations.
The whole's translation table is cut into ranges of rows (one per worker, more when a range
would pass 2^31 cells): each iteration every shard sends each range the counts of its cells
there, the range adds them up, re-estimates its rows and sends every shard the values of its own
cells back. A row's re-estimation reads only its own counts, so the cut does not change a value.
A worker re-estimates the alignment table the same way, and each range writes its own lines of
the translation file; this process reads the entropies and writes the files.

Word ids are those one process gives the whole corpus (each shard's first appearances
registered in shard order), and a shard's E-step is one process's arithmetic pair for pair.
The counts of a cell are added up in shard order (within a shard in pair order), and the
entropy is the sum of the shards' sums, in shard order, over the number of pairs. So for a
given corpus, settings and shard size every file is the same bytes whatever the number of
workers and the order in which they finish; with one shard they are one process's files. With
several shards a cell's count is ``((0 + c_1) + c_2) + ...`` over the shards' partial sums
instead of one running sum over all pairs, which can differ from one process's in the last
bits.

Dask is an optional dependency: ``pip install 'zel[distributed]'``.
"""

import itertools
import logging
import os
import threading
from concurrent.futures import CancelledError
from dataclasses import dataclass
from operator import itemgetter

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
    """A shard as a worker holds it: its native trainers, made when first used (one for IBM
    Model 2, `model` 2; for the HMM, `model` 1, one a direction, the second reading the target
    side as source). Pickled, it is its source and ids only, so a shard moved or recomputed by
    Dask is made again the same. A task sets the values it reads and reads them under the
    shard's lock, so tasks of several iterations on one shard (Dask making a lost result again)
    do not mix."""

    def __init__(self, source, character, joined=None, model=2):
        self.source, self.character, self.joined, self.model = source, character, joined, model
        self._natives = None
        self.lock = threading.Lock()

    def native(self, d=0):
        if self._natives is None:
            sides = (self.source.src.read(), self.source.trg.read())
            natives = []
            for k in range(1 if self.model == 2 else 2):
                trainer = _shards.ShardTrainer(
                    *(sides[::-1] if k else sides), self.character, self.model
                )
                if trainer.pairs != self.source.count:
                    raise ValueError(
                        f"shard {self.source.index} read {trainer.pairs} pairs, not "
                        f"{self.source.count}: the corpus files changed while training"
                    )
                if self.joined is not None:
                    trainer.join(*self.joined[k])
                natives.append(trainer)
            self._natives = natives
        return self._natives[d]

    def set_values(self, d, trans, align=None):
        if align is None:
            self.native(d).set_trans_values(list(trans))
        else:
            self.native(d).set_values(list(trans), *align)

    def __getstate__(self):
        return {k: getattr(self, k) for k in ("source", "character", "joined", "model")}

    def __setstate__(self, state):
        self.__init__(**state)


def survey(source, character, model):
    """A shard's words (by id, as it first meets them) and longest sentences, for each
    direction it is trained in."""
    shard = Shard(source, character, model=model)
    trainers = [shard.native(d) for d in range(1 if model == 2 else 2)]
    return [(t.words(True), t.words(False), t.max_lengths, t.target_words) for t in trainers]


def join(source, character, joined, model):
    shard = Shard(source, character, joined, model)
    shard.native()
    return shard


def shard_rows(shard, d):
    """How many of the shard's cells each source word's row has, in direction d."""
    with shard.lock:
        return shard.native(d).row_lengths()


def shard_blocks(shard):
    with shard.lock:
        return shard.native().block_keys()


def shard_cut(shard, d, cuts, n_trg):
    """The shard's cells of direction d cut at the rows `cuts`: their keys in each range, and
    where each range starts and ends among them."""
    with shard.lock:
        keys = shard.native(d).cell_keys()
    bounds = np.searchsorted(keys, np.asarray(cuts, dtype=np.uint64) * np.uint64(n_trg))
    return [keys[a:b] for a, b in itertools.pairwise(bounds)], bounds


def _cut(counts, bounds):
    return [counts[a:b] for a, b in itertools.pairwise(bounds)]


def shard_step(shard, d, trans, align, model, bounds):
    """An E-step of direction d under the values given (trans: its cells' values from each row
    range in turn; align: its alignment values and rows, or None for a Model 1 of its own):
    ((entropy sum, flags, count flags), [its counts cut into the row ranges], its alignment
    counts). Without a `model`, the entropy only."""
    with shard.lock:
        shard.set_values(d, trans, align)
        trainer = shard.native(d)
        if not model:
            entropy, flags = trainer.entropy_sum()
            return (entropy, flags, 0), None, None
        (entropy, flags), counts, align_counts, count_flags = trainer.expect(model)
    return (entropy, flags, count_flags), [_cut(counts, bounds)], align_counts


def hmm_step(shard, trans, jumps, agreement, bounds):
    """An E-step of the HMM under each direction's values (trans[d]: its cells' values from
    each row range) and jump tables: ((each direction's log-likelihood sum, flags, each
    direction's jump counts), [each direction's counts cut into its row ranges], None)."""
    with shard.lock:
        for d in (0, 1):
            shard.set_values(d, trans[d])
        logs, forward, backward, jump_counts, flags = _shards.hmm_expect(
            shard.native(0), shard.native(1), jumps, agreement
        )
    counts = [_cut(c, b) for c, b in zip((forward, backward), bounds, strict=True)]
    return (logs, flags, jump_counts), counts, None


def shard_outputs(shard, trans, align, scores, decoded):
    with shard.lock:
        shard.set_values(0, trans, align)
        return shard.native().outputs(scores, decoded)


def hmm_outputs(shard, trans, jumps, heuristic, scores, posterior_threshold):
    with shard.lock:
        for d in (0, 1):
            shard.set_values(d, trans[d])
        return _shards.hmm_outputs(
            shard.native(0), shard.native(1), jumps, heuristic, scores, posterior_threshold
        )


def key_piece(cut, r):
    return cut[0][r]


def summary(step):
    return step[0]


def count_piece(step, d, r):
    return step[1][d][r]


def align_counts(step):
    return step[2]


class Rows:
    """A range of the whole's rows as a worker holds it: its cells (the union of the shards'
    cells there), where each shard's cells lie among them, and the native range."""

    def __init__(self, first, count, n_trg, *shard_keys):
        cells, self.positions = _shards.merge_keys(list(shard_keys), first, count, n_trg)
        self.native = _shards.RowRange(first, count, n_trg, cells)
        self.count, self.n_trg = count, n_trg

    def nbytes(self):
        return 12 * self.native.cells + sum(p.nbytes for p in self.positions)

    def __getstate__(self):
        return (self.native.first, self.count, self.n_trg, self.native.keys(), self.positions)

    def __setstate__(self, state):
        first, self.count, self.n_trg, keys, self.positions = state
        self.native = _shards.RowRange(first, self.count, self.n_trg, keys)


# A range's values and the alignment values are (values, row defaults or tail flags, the counts
# of the M-step that made them or None before the first).


def rows_initial(rows):
    return rows.native.initial()


def rows_maximize(rows, values, prior, *pieces):
    """The range's values after an M-step from `values` with the shards' counts, added up in
    shard order."""
    return rows.native.maximize(values[0], values[1], rows.positions, list(pieces), prior)


def rows_values(rows, values, k):
    """Shard k's cells' values in this range."""
    return values[0][rows.positions[k]]


def rows_lines(rows, values, src_words, trg_words, threshold, threshold_text, nbest, counts):
    return rows.native.trans_lines(
        *values, src_words, trg_words, threshold, threshold_text, nbest, counts
    )


def rows_cells(rows):
    return rows.native.cells


class Blocks:
    """The whole's alignment blocks (the shards', in order of first appearance) and where each
    shard's values and rows lie among them."""

    def __init__(self, s_max, t_max, *shard_blocks):
        order, offsets, rows = {}, [0], [0]
        for flat in shard_blocks:
            for a, b in flat.reshape(-1, 2).tolist():
                if (a, b) not in order:
                    order[(a, b)] = len(order)
                    offsets.append(offsets[-1] + (b + 1) * (a + 2))
                    rows.append(rows[-1] + b + 1)
        self.flat = np.array([x for key in order for x in key], dtype=np.uint64)
        self.s_max, self.t_max = s_max, t_max
        self.value_maps, self.row_maps = [], []
        empty = np.zeros(0, dtype=np.int64)
        for flat in shard_blocks:
            keys = [order[(a, b)] for a, b in flat.reshape(-1, 2).tolist()]
            self.value_maps.append(
                np.concatenate([np.arange(offsets[k], offsets[k + 1]) for k in keys] or [empty])
            )
            self.row_maps.append(
                np.concatenate([np.arange(rows[k], rows[k + 1]) for k in keys] or [empty])
            )
        self._native = None

    def native(self):
        if self._native is None:
            self._native = _shards.AlignRows(self.s_max, self.t_max, self.flat)
        return self._native

    def __getstate__(self):
        return {k: v for k, v in self.__dict__.items() if k != "_native"}

    def __setstate__(self, state):
        self.__dict__.update(state, _native=None)


def align_initial(blocks):
    return (*blocks.native().initial(), None)


def align_maximize(blocks, values, *counts):
    total = np.zeros(len(values[0]))
    for positions, c in zip(blocks.value_maps, counts, strict=True):
        total[positions] += c
    return (*blocks.native().maximize(values[0], values[1], total), total)


def align_values(blocks, values, k):
    return values[0][blocks.value_maps[k]], values[1][blocks.row_maps[k]]


def blocks_flat(blocks):
    return blocks.flat


try:
    from dask.sizeof import sizeof
except ImportError:
    pass
else:
    # So Dask moves the shards' counts to a range, not a range to them.
    sizeof.register(Rows)(Rows.nbytes)


def memory_in_use():
    import psutil

    return psutil.Process().memory_info().rss


# --- the driver, in this process --------------------------------------------------------------


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


def _row_cuts(counts, parts):
    """Row boundaries cutting the rows into `parts` ranges of about equal cells."""
    total = np.cumsum(counts)
    targets = [int(total[-1]) * p // parts for p in range(1, parts)] if len(total) else []
    inner = np.searchsorted(total, targets, side="right").tolist()
    return [0, *inner, len(counts)]


def _preferring(workers):
    """Submit options that run a task on one of `workers` while any of them is alive."""
    return {"workers": workers, "allow_other_workers": True} if workers else {}


def _killed(work, error):
    return MemoryError(
        f"{work} ended every worker that took it ({error}); Dask ends a worker over its memory "
        "limit: give the workers more memory, use more workers or a smaller shard size"
    )


def _gather(futures, what):
    """The futures' results; work that keeps ending its workers is a MemoryError."""
    distributed = _dask()
    try:
        return [future.result() for future in futures]
    except distributed.KilledWorker as e:
        raise _killed(what, e) from None


def _beside(client, future):
    """Where the tasks of a shard or range run: on the worker holding it, or any worker once
    that one is lost. Dask does not know a shard's size, and work stealing would move a range's
    tasks to an idle worker: either would move the shard or range itself."""
    return _preferring(list(client.who_has(future).get(future.key, ())))


def _ordered(submit, count, what, refused=None):
    """Runs submit(k, again) for every shard k at once and gives the results in shard order as
    they come. Work lost with a worker beyond what Dask makes again is submitted again, as is
    work that met an OSError after refused(k, error) (when given) made it anew; a shard whose
    tasks keep ending their workers is a MemoryError."""
    distributed = _dask()
    shard_of, tries, done = {}, [0] * count, {}
    running = distributed.as_completed()

    def start(k, again):
        future = submit(k, again)
        shard_of[future.key] = k
        running.add(future)

    for k in range(count):
        start(k, False)

    def results():
        next_k = 0
        for future in running:
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


class _Table:
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
        for counts in _ordered(
            lambda k, again: client.submit(shard_rows, shards[k], d, pure=False),
            len(shards),
            "indexing",
        ):
            row_counts += counts
        parts = max(1, len(workers), -(-int(row_counts.sum()) // 2**31))
        self.cuts = cuts = _row_cuts(row_counts, parts)
        del row_counts
        cut = [client.submit(shard_cut, shard, d, cuts, n_trg, pure=False) for shard in shards]
        self.bounds = _gather([client.submit(itemgetter(1), c) for c in cut], "indexing")
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
                    **_preferring([workers[r % len(workers)]] if workers else []),
                )
            )
        del cut
        self.values = [client.submit(rows_initial, rows, pure=False) for rows in self.rows]
        cells = sum(_gather([client.submit(rows_cells, rows) for rows in self.rows], "indexing"))
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
            self.places = [_beside(self.client, rows) for rows in self.rows]
        if k not in self.pieces:
            self.pieces[k] = [
                self.client.submit(rows_values, rows, v, k, pure=False, **place)
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
                **_beside(self.client, rows),
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
                **_beside(client, rows),
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
                out.write(*_gather([text], "writing the translation file"))
            out.close()
        finally:
            if not out.closed:
                out.discard()


class _Sharded:
    """One training run on a cluster: the shards, read and joined to the whole's vocabularies
    (one a direction) on the workers, and each direction's translation table in row ranges.
    Everything an iteration makes stays on the workers; this process reads the entropies and
    flags, and at the end writes the lines the ranges and shards give it. Each value is a
    task's result made from the last ones, so Dask can make any of them again after losing a
    worker."""

    def __init__(self, client, shards, pairs, character, model):
        self.client, self.pairs, self.character, self.model = client, pairs, character, model
        self.sources = shards
        directions = 1 if model == 2 else 2
        self.wholes = [_shards.WholeTrainer() for _ in range(directions)]
        self.tables = []  # a _Table a direction
        self.shards = []  # futures of Shard, by shard
        self.target_words = [0] * directions  # each direction's target words in the corpus
        self.steps = None  # futures of the last E-step, by shard
        self.pending = None  # what the M-step being made needs to be made again
        self.trained = False  # a model to write exists

    def setup(self):
        client = self.client
        sources = list(self.sources)

        def read(k, again):
            return client.submit(survey, sources[k], self.character, self.model, pure=False)

        def send_lines(k, error):
            # A worker that cannot open the corpus gets its lines from here.
            logger.debug("shard %d: %s; sending its lines", k, error)
            sources[k] = with_texts(sources[k])

        ids = []
        for directions in _ordered(read, len(sources), "reading", send_lines):
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
        self.shards = [
            client.submit(
                join,
                source,
                self.character,
                [(*i, w.shape) for i, w in zip(shard_ids, self.wholes, strict=True)],
                self.model,
                pure=False,
            )
            for source, shard_ids in zip(self.sources, ids, strict=True)
        ]
        del ids
        workers = sorted(client.scheduler_info()["workers"])
        self.tables = [_Table(client, whole, d) for d, whole in enumerate(self.wholes)]
        for table in self.tables:
            table.build(self.shards, workers)
        logger.debug("%d shards", len(self.shards))

    def _evaluate(self, step_of, what):
        """Runs step_of(k) (a future of shard k's E-step) for every shard and gives each one's
        summary in shard order; the steps are kept for the M-step."""
        self.steps = [None] * len(self.shards)

        def submit(k, again):
            step = self.steps[k] = step_of(k)
            return self.client.submit(summary, step, pure=False)

        for k, result in enumerate(_ordered(submit, len(self.shards), what)):
            for table in self.tables:
                table.drop(k)
            yield result

    def _at_shard(self, k):
        return _beside(self.client, self.shards[k])

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

    def _outputs(self, submit, what):
        """The shards' outputs, in shard order."""
        return _ordered(submit, len(self.shards), what)


class _Run(_Sharded):
    """IBM Models 1 and 2 in one direction; the alignment table is re-estimated on a worker
    as the translation table's ranges are."""

    def __init__(self, client, shards, pairs, character):
        super().__init__(client, shards, pairs, character, 2)
        self.blocks = None  # future of Blocks
        self.align = None  # future of the alignment values
        self.align_pieces = {}  # shard -> future of its alignment values

    def setup(self):
        super().setup()
        s_max, t_max = self.wholes[0].shape[2:]
        self.blocks = self.client.submit(
            Blocks,
            s_max,
            t_max,
            *[self.client.submit(shard_blocks, shard, pure=False) for shard in self.shards],
            pure=False,
        )
        self.align = self.client.submit(align_initial, self.blocks, pure=False)

    def _values_of(self, k):
        """Shard k's values under the current ones: (its cells' from each range, its alignment
        values and rows)."""
        if k not in self.align_pieces:
            self.align_pieces[k] = self.client.submit(
                align_values, self.blocks, self.align, k, pure=False
            )
        return self.tables[0].pieces_of(k), self.align_pieces[k]

    def evaluate(self, model):
        """The entropy under the current values and, with a `model`, the E-step's count flags;
        the E-step's futures are kept for the M-step."""

        def step_of(k):
            trans, align = self._values_of(k)
            return self.client.submit(
                shard_step,
                self.shards[k],
                0,
                trans,
                align,
                model,
                self.tables[0].bounds[k],
                pure=False,
                **self._at_shard(k),
            )

        total, raised, count_flags = 0.0, 0, 0
        for k, (h, flags, counted) in enumerate(self._evaluate(step_of, "E-step")):
            self.align_pieces.pop(k, None)
            total += h
            raised |= flags
            count_flags |= counted
        _shards.report_flags(raised, "log")
        return total / self.pairs, count_flags

    def _maximize(self, phase):
        self.tables[0].maximize(self.steps, 0)
        if phase == 2:
            submit = self.client.submit
            self.align = submit(
                align_maximize,
                self.blocks,
                self.align,
                *[submit(align_counts, step, pure=False) for step in self.steps],
                pure=False,
            )
        self.align_pieces = {}

    def train(self, limit):
        """Model 1 then Model 2, each up to `limit` iterations, stopping when the entropy stops
        falling, as one process trains them. After Ctrl-C, what the last complete M-step made
        stays for the files."""
        model_of_counts = 1
        h, count_flags = self.evaluate(model_of_counts)
        for phase, title in ((1, MODEL1_TITLE), (2, MODEL2_TITLE)):
            logger.info("----")
            logger.info(title)
            if phase == 2 and model_of_counts != 2:
                model_of_counts = 2
                h, count_flags = self.evaluate(2)
            logger.info("initial entropy: %r", h)
            prev = h
            for step in range(limit):
                logger.info("--")
                logger.info("step: %d / %d", step + 1, limit)
                if phase == 2:
                    _shards.report_flags(count_flags, "divide")
                self.pending = phase
                self._maximize(phase)
                # The M-step holds what it needs of the E-step; its counts can go once read.
                self.pending, self.steps = None, None
                self.trained = True
                following = phase if step + 1 < limit else (2 if phase == 1 else 0)
                h, count_flags = self.evaluate(following)
                model_of_counts = following
                self.memory_report()
                logger.info("entropy: %r", h)
                if h >= prev:
                    break
                prev = h

    def _write_align(self, path, threshold):
        client = self.client
        whole = self.wholes[0]
        (blocks,) = _gather([client.submit(blocks_flat, self.blocks)], "writing the alignments")
        whole.make_align(blocks)
        values, tail, counts = whole.align_values()
        (made,) = _gather([self.align], "writing the alignments")
        values[:], tail[:], c = made
        if c is not None:
            counts[:] = c
        whole.save_align(path, float(threshold), str(threshold))

    def write_outputs(self, data):
        scores, decoded = bool(data.save_scores), bool(data.decode_align)
        results = None
        if scores or decoded:
            # The shards score while the tables are written.

            def submit(k, again):
                trans, align = self._values_of(k)
                return self.client.submit(
                    shard_outputs,
                    self.shards[k],
                    trans,
                    align,
                    scores,
                    decoded,
                    pure=False,
                    **self._at_shard(k),
                )

            results = self._outputs(submit, "scores")
        nbest = _NO_LIMIT if data.nbest is None else int(data.nbest)
        self.tables[0].write(data.save_trans_path, data.threshold, nbest, True)
        if data.save_align_path:
            self._write_align(data.save_align_path, data.threshold)
        if results is None:
            return
        paths = [p for p in (data.save_scores, data.decode_align) if p]
        raised = _write_texts(
            paths,
            (
                [t for t, wanted in ((s, scores), (d, decoded)) if wanted] + [flags]
                for s, d, flags in results
            ),
        )
        _shards.report_flags(raised, "log")


def _write_texts(paths, results):
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


class _HmmRun(_Sharded):
    """The HMM in both directions: each direction's Model 1 first, then the HMM's iterations
    (by agreement or apart), each shard's E-step reading both directions' values; the jump
    tables are re-estimated here from the shards' jump counts, added up in shard order."""

    def __init__(self, client, shards, pairs, settings, names):
        super().__init__(client, shards, pairs, settings["character"], 1)
        self.settings, self.names = settings, names  # names: the directions'
        self.jumps = None  # each direction's (weights, NULL probability)

    def _model1_entropy(self, d, model):
        table = self.tables[d]

        def step_of(k):
            return self.client.submit(
                shard_step,
                self.shards[k],
                d,
                table.pieces_of(k),
                None,
                model,
                table.bounds[k],
                pure=False,
                **self._at_shard(k),
            )

        total, raised = 0.0, 0
        for h, flags, _ in self._evaluate(step_of, "E-step"):
            total += h
            raised |= flags
        _shards.report_flags(raised, "log")
        return total / self.pairs

    def _model1(self, d, limit):
        """Model 1 of direction d, up to `limit` iterations, stopping when the entropy stops
        falling, as one process trains it."""
        logger.info("HMM alignment model, %s: IBM Model 1 first", self.names[d])
        logger.info("----")
        logger.info(MODEL1_TITLE)
        h = self._model1_entropy(d, 1 if limit > 0 else 0)
        logger.info("initial entropy: %r", h)
        prev = h
        for step in range(limit):
            logger.info("--")
            logger.info("step: %d / %d", step + 1, limit)
            self.pending = ("model1", d)
            self._maximize(self.pending)
            self.pending, self.steps = None, None
            h = self._model1_entropy(d, 1 if step + 1 < limit else 0)
            logger.info("entropy: %r", h)
            if h >= prev:
                break
            prev = h

    def _maximize(self, pending):
        kind, what = pending
        if kind == "model1":
            self.tables[what].maximize(self.steps, 0)
            return
        for d, table in enumerate(self.tables):
            table.maximize(self.steps, d, self.settings["prior"])
        null = self.settings.get("null_prob")
        self.jumps = [_shards.estimate_jumps([c[d] for c in what], null) for d in (0, 1)]

    def train(self):
        s = self.settings
        for d in (0, 1):
            self._model1(d, s["iteration_limit"])
        null = s.get("null_prob")
        self.jumps = [_shards.uniform_jumps(0.2 if null is None else null)] * 2
        self.trained = True
        agreement, iterations = s["agreement"], s["hmm_iterations"]
        words = self.target_words
        for step in range(iterations):
            logger.info("--")
            logger.info(
                "HMM step: %d / %d%s", step + 1, iterations, " (by agreement)" if agreement else ""
            )

            def step_of(k):
                return self.client.submit(
                    hmm_step,
                    self.shards[k],
                    [t.pieces_of(k) for t in self.tables],
                    self.jumps,
                    agreement,
                    [t.bounds[k] for t in self.tables],
                    pure=False,
                    **self._at_shard(k),
                )

            logs, raised, jump_counts = [0.0, 0.0], 0, []
            for shard_logs, flags, counts in self._evaluate(step_of, "HMM E-step"):
                logs = [a + b for a, b in zip(logs, shard_logs, strict=True)]
                raised |= flags
                jump_counts.append(counts)
            _shards.report_flags(raised, "log")
            for d in (0, 1):
                entropy = -logs[d] / words[d] if words[d] > 0 else 0.0
                logger.info("entropy %s: %r", self.names[d], entropy)
            self.pending = ("hmm", jump_counts)
            self._maximize(self.pending)
            self.pending, self.steps = None, None
            self.memory_report()

    def write_outputs(self, paths):
        s = self.settings
        posterior = s["decoding"] == "posterior"
        scores = bool(s["save_scores"])

        def submit(k, again):
            return self.client.submit(
                hmm_outputs,
                self.shards[k],
                [t.pieces_of(k) for t in self.tables],
                self.jumps,
                s["heuristic"],
                scores,
                s["posterior_threshold"] if posterior else None,
                pure=False,
                **self._at_shard(k),
            )

        # The shards align while the tables are written.
        results = self._outputs(submit, "links")
        nbest = _NO_LIMIT if s["nbest"] is None else int(s["nbest"])
        for d, direction in enumerate(self.names):
            self.tables[d].write(paths[direction]["trans"], float(s["threshold"]), nbest, False)
            _shards.save_jumps(paths[direction]["jumps"], self.jumps[d])
        targets = [paths[d]["links"] for d in self.names]
        if scores:
            targets += [paths[d]["scores"] for d in self.names]
        targets.append(paths["links"])
        if posterior:
            targets.append(paths["final"])

        def texts():
            for links, score_texts, symmetrized, posterior_links in results:
                yield (
                    [*links, *(score_texts if scores else ()), symmetrized]
                    + ([posterior_links] if posterior else [])
                    + [0]
                )

        _write_texts(targets, texts())
        if not posterior:
            files.copy(paths["links"], paths["final"])


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


def align_hmm(settings, paths, names):
    """Trains the HMM in both directions on a Dask cluster and writes the files one process's
    HMM writes (see zel.smt.align.hmm_road) to `paths`, by direction `names`. `settings` are
    zel-align's (see bidirectional.align_both), with ``workers`` or ``scheduler`` and
    ``shard_size``. Ctrl-C once both Model 1 phases are done writes the files of the last
    complete iteration, then raises Interrupted (a KeyboardInterrupt)."""
    limit = settings["iteration_limit"]
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 0:
        raise ValueError(f"the iteration limit must be a whole number >= 0, not {limit!r}")
    shards, pairs = plan_shards(settings["src_path"], settings["trg_path"], settings["shard_size"])
    if pairs == 0:
        raise ValueError(f"the corpus {os.fsdecode(settings['src_path'])} has no sentence pairs")
    logger.info("----")
    logger.info(
        "training the HMM on a cluster: %d pairs in %d shards of %d",
        pairs,
        len(shards),
        settings["shard_size"],
    )
    with Cluster(settings["workers"], settings["scheduler"]) as cluster:
        run = _HmmRun(cluster.client, shards, pairs, settings, names)
        run.setup()
        interrupted = False
        try:
            run.train()
        except KeyboardInterrupt:
            if not run.trained:
                raise
            interrupted = True
            logger.warning("interrupted by keyboard: writing the model of the last iteration done")
            run.settle()
        run.write_outputs(paths)
    if interrupted:
        raise Interrupted()
    return paths
