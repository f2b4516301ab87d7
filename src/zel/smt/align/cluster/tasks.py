"""The work a Dask worker does when a corpus trains on a cluster: a shard's native trainers and
E-steps, a range of the translation table's rows and its M-steps, the alignment table's rows.
Every function here is a task that zel.smt.align.cluster.client submits. A task gives what it
makes as its result; the one state a task changes is a shard's tables, under the shard's lock,
set from the values the task is given. So Dask can make any result again after losing a worker."""

import itertools
import threading
from typing import NamedTuple

import numpy as np

from .. import _shards


class Summary(NamedTuple):
    """What this process reads of a shard's E-step: its entropy sum (the HMM: each direction's
    log-likelihood sum), the floating-point flags raised, and the count flags (IBM Models) or
    each direction's jump counts (the HMM)."""

    entropy: object
    flags: int
    extra: object


class Step(NamedTuple):
    """A shard's E-step, one result so that Dask can make it again: its summary, its counts cut
    into each direction's row ranges (None when only the entropy was asked for), and its
    alignment counts (IBM Model 2's, else None)."""

    summary: Summary
    counts: list | None
    align_counts: np.ndarray | None


class Cut(NamedTuple):
    """A shard's cells of one direction cut at the row ranges: their keys in each range, and
    where each range starts and ends among them."""

    keys: list
    bounds: np.ndarray


class Values(NamedTuple):
    """A row range's values, or the alignment table's: the values, the row defaults (the
    alignment table: its tail flags), and the counts of the M-step that made them (None before
    the first)."""

    values: np.ndarray
    defaults: np.ndarray
    counts: np.ndarray | None


class Shard:
    """A shard as a worker holds it: its native trainers of `model` (IBM Model 1 or 2), made
    when first used, one for each of `directions` (IBM Model 2: one; the HMM: two Model 1s,
    the second reading the target side as source). Pickled, it is its source and ids only, so
    a shard moved or recomputed by Dask is made again the same. A task sets the values it
    reads and reads them under the shard's lock, so tasks of several iterations on one shard
    (Dask making a lost result again) do not mix."""

    def __init__(self, source, character, joined=None, model=2, directions=1):
        self.source, self.character, self.joined = source, character, joined
        self.model, self.directions = model, directions
        self._natives = None
        self.lock = threading.Lock()

    def native(self, d=0):
        if self._natives is None:
            sides = (self.source.src.read(), self.source.trg.read())
            natives = []
            for k in range(self.directions):
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
        names = ("source", "character", "joined", "model", "directions")
        return {k: getattr(self, k) for k in names}

    def __setstate__(self, state):
        self.__init__(**state)


def survey(source, character, model, directions):
    """A shard's words (by id, as it first meets them) and longest sentences, for each
    direction it is trained in."""
    shard = Shard(source, character, model=model, directions=directions)
    trainers = [shard.native(d) for d in range(directions)]
    return [(t.words(True), t.words(False), t.max_lengths, t.target_words) for t in trainers]


def readable(sources):
    """For each of `sources`, whether this worker reads its lines itself."""
    return [s.src.readable() and s.trg.readable() for s in sources]


def join(source, character, joined, model, directions):
    shard = Shard(source, character, joined, model, directions)
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
    return Cut([keys[a:b] for a, b in itertools.pairwise(bounds)], bounds)


def _cut(counts, bounds):
    return [counts[a:b] for a, b in itertools.pairwise(bounds)]


def shard_step(shard, d, trans, align, model, bounds):
    """An E-step of direction d under the values given (trans: its cells' values from each row
    range in turn; align: its alignment values and rows, or None for a Model 1 of its own).
    Without a `model`, the entropy only."""
    with shard.lock:
        shard.set_values(d, trans, align)
        trainer = shard.native(d)
        if not model:
            entropy, flags = trainer.entropy_sum()
            return Step(Summary(entropy, flags, 0), None, None)
        (entropy, flags), counts, align_counts, count_flags = trainer.expect(model)
    return Step(Summary(entropy, flags, count_flags), [_cut(counts, bounds)], align_counts)


def hmm_step(shard, trans, jumps, agreement, bounds):
    """An E-step of the HMM under each direction's values (trans[d]: its cells' values from
    each row range) and jump tables."""
    with shard.lock:
        for d in (0, 1):
            shard.set_values(d, trans[d])
        logs, forward, backward, jump_counts, flags = _shards.hmm_expect(
            shard.native(0), shard.native(1), jumps, agreement
        )
    counts = [_cut(c, b) for c, b in zip((forward, backward), bounds, strict=True)]
    return Step(Summary(logs, flags, jump_counts), counts, None)


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
    return cut.keys[r]


def cut_bounds(cut):
    return cut.bounds


def summary(step):
    return step.summary


def count_piece(step, d, r):
    return step.counts[d][r]


def align_counts(step):
    return step.align_counts


class Rows:
    """A range of the whole's rows as a worker holds it: its cells (the union of the shards'
    cells there), where each shard's cells lie among them, and the native range."""

    def __init__(self, first, count, n_trg, *shard_keys):
        cells, self.positions = _shards.merge_keys(list(shard_keys), first, count, n_trg)
        self.native = _shards.RowRange(first, count, n_trg, cells)
        self.count, self.n_trg = count, n_trg

    # What Dask weighs a range by (through sys.getsizeof), so that it moves the shards' counts
    # to a range, not a range to them.
    def __sizeof__(self):
        return 12 * self.native.cells + sum(p.nbytes for p in self.positions)

    def __getstate__(self):
        return (self.native.first, self.count, self.n_trg, self.native.keys(), self.positions)

    def __setstate__(self, state):
        first, self.count, self.n_trg, keys, self.positions = state
        self.native = _shards.RowRange(first, self.count, self.n_trg, keys)


def rows_initial(rows):
    return Values(*rows.native.initial())


def rows_maximize(rows, values, prior, *pieces):
    """The range's values after an M-step from `values` with the shards' counts, added up in
    shard order."""
    return Values(
        *rows.native.maximize(values.values, values.defaults, rows.positions, list(pieces), prior)
    )


def rows_values(rows, values, k):
    """Shard k's cells' values in this range."""
    return values.values[rows.positions[k]]


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
    return Values(*blocks.native().initial(), None)


def align_maximize(blocks, values, *counts):
    total = np.zeros(len(values.values))
    for positions, c in zip(blocks.value_maps, counts, strict=True):
        total[positions] += c
    return Values(*blocks.native().maximize(values.values, values.defaults, total), total)


def align_values(blocks, values, k):
    return values.values[blocks.value_maps[k]], values.defaults[blocks.row_maps[k]]


def blocks_flat(blocks):
    return blocks.flat


def memory_in_use():
    import psutil

    return psutil.Process().memory_info().rss
