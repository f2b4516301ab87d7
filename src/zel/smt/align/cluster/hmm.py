"""The HMM in both directions on a Dask cluster (see zel.smt.align.cluster)."""

from zel.common import files
from zel.common import logging as zlogging

from .. import _shards
from .client import NO_LIMIT, ShardedRun, ordered, write_texts
from .tasks import hmm_outputs, hmm_step, shard_step

# The HMM's lines read as one process logs them.
logger = zlogging.getColorLogger("zel.smt.align.hmm")


class HmmRun(ShardedRun):
    """The HMM in both directions: each direction's Model 1 first, then the HMM's iterations
    (by agreement or apart), each shard's E-step reading both directions' values; the jump
    tables are re-estimated here from the shards' jump counts, added up in shard order."""

    def __init__(self, client, shards, pairs, settings, names):
        super().__init__(client, shards, pairs, settings["character"], model=1, directions=2)
        self.settings, self.names = settings, names  # names: the directions'
        self.jumps = None  # each direction's (weights, NULL probability)

    def _model1_entropy(self, d, model):
        table = self.tables[d]

        def step_of(k):
            return self._at_shard(
                shard_step,
                k,
                d,
                table.pieces_of(k),
                None,
                model,
                table.bounds[k],
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

        def step(s):
            self.pending = ("model1", d)
            self._maximize(self.pending)
            self.pending, self.steps = None, None
            h = self._model1_entropy(d, 1 if s + 1 < limit else 0)
            self.memory_report()
            return h

        _shards.run_em(
            "model1", limit, lambda: self._model1_entropy(d, 1 if limit > 0 else 0), step
        )

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
        self.jumps = [_shards.uniform_jumps(s.get("null_prob"))] * 2
        self.trained = True
        agreement, words = s["agreement"], self.target_words

        def step(_):
            def step_of(k):
                return self._at_shard(
                    hmm_step,
                    k,
                    [t.pieces_of(k) for t in self.tables],
                    self.jumps,
                    agreement,
                    [t.bounds[k] for t in self.tables],
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

        _shards.run_em("hmm", s["hmm_iterations"], lambda: None, step, agreement)

    def write_outputs(self, paths):
        s = self.settings
        posterior = s["decoding"] == "posterior"
        scores = bool(s["save_scores"])

        def submit(k, again):
            return self._at_shard(
                hmm_outputs,
                k,
                [t.pieces_of(k) for t in self.tables],
                self.jumps,
                s["heuristic"],
                scores,
                s["posterior_threshold"] if posterior else None,
            )

        # The shards align while the tables are written.
        results = ordered(submit, len(self.shards), "links")
        nbest = NO_LIMIT if s["nbest"] is None else int(s["nbest"])
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

        write_texts(targets, texts())
        if not posterior:
            files.copy(paths["links"], paths["final"])
