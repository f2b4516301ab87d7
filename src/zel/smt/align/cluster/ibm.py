"""IBM Models 1 and 2 in one direction on a Dask cluster (see zel.smt.align.cluster)."""

from .. import _shards
from .client import NO_LIMIT, ShardedRun, gather, ordered, write_texts
from .tasks import (
    Blocks,
    align_counts,
    align_initial,
    align_maximize,
    align_values,
    blocks_flat,
    shard_blocks,
    shard_outputs,
    shard_step,
)


class IbmRun(ShardedRun):
    """IBM Models 1 and 2 in one direction; the alignment table is re-estimated on a worker
    as the translation table's ranges are."""

    def __init__(self, client, shards, pairs, character):
        super().__init__(client, shards, pairs, character, model=2, directions=1)
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
                align_values, self.blocks, self.align, k, pure=False, priority=1
            )
        return self.tables[0].pieces_of(k), self.align_pieces[k]

    def evaluate(self, model):
        """The entropy under the current values and, with a `model`, the E-step's count flags;
        the E-step's futures are kept for the M-step."""

        def step_of(k):
            trans, align = self._values_of(k)
            return self._at_shard(
                shard_step,
                k,
                0,
                trans,
                align,
                model,
                self.tables[0].bounds[k],
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
        # The entropy before a step and the E-step of that step's model are one pass: `h` is
        # the entropy of the current values, `model` the model whose counts the pass made
        # with it, and `flags` those counts' flags.
        (h, flags), model = self.evaluate(1), 1

        def initial(phase):
            nonlocal h, flags, model
            if model != phase:
                (h, flags), model = self.evaluate(phase), phase
            return h

        def step(phase, s):
            nonlocal h, flags, model
            if phase == 2:
                _shards.report_flags(flags, "divide")
            self.pending = phase
            self._maximize(phase)
            # The M-step holds what it needs of the E-step; its counts can go once read.
            self.pending, self.steps = None, None
            self.trained = True
            following = phase if s + 1 < limit else (2 if phase == 1 else 0)
            (h, flags), model = self.evaluate(following), following
            self.memory_report()
            return h

        for phase in (1, 2):
            _shards.run_em(
                f"model{phase}", limit, lambda p=phase: initial(p), lambda s, p=phase: step(p, s)
            )

    def _write_align(self, path, threshold):
        client = self.client
        whole = self.wholes[0]
        (blocks,) = gather([client.submit(blocks_flat, self.blocks)], "writing the alignments")
        whole.make_align(blocks)
        values, tail, counts = whole.align_values()
        (made,) = gather([self.align], "writing the alignments")
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
                return self._at_shard(
                    shard_outputs,
                    k,
                    trans,
                    align,
                    scores,
                    decoded,
                )

            results = ordered(submit, len(self.shards), "scores")
        nbest = NO_LIMIT if data.nbest is None else int(data.nbest)
        self.tables[0].write(data.save_trans_path, data.threshold, nbest, True)
        if data.save_align_path:
            self._write_align(data.save_align_path, data.threshold)
        if results is None:
            return
        paths = [p for p in (data.save_scores, data.decode_align) if p]
        raised = write_texts(
            paths,
            (
                [t for t, wanted in ((s, scores), (d, decoded)) if wanted] + [flags]
                for s, d, flags in results
            ),
        )
        _shards.report_flags(raised, "log")
