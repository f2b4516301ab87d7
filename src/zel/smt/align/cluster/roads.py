"""The roads that train on a cluster and write their files (see zel.smt.align.cluster)."""

import os

from zel.common import command, files
from zel.common import logging as zlogging
from zel.common.config import Config

from .. import emalign, training
from .client import Cluster
from .hmm import HmmRun
from .ibm import IbmRun
from .shards import SHARD_SIZE, plan_shards

logger = zlogging.getColorLogger(__name__)


# Ctrl-C ended training after an M-step: the files of that step were written.
Interrupted = command.Interrupted


def wanted(settings):
    """Whether zel-align's `settings` ask for a cluster (``workers`` or ``scheduler``)."""
    return settings.get("workers") is not None or settings.get("scheduler") is not None


def open_for(settings):
    """The cluster zel-align's `settings` ask for: the running one of ``scheduler``, else a
    local one of ``workers`` processes."""
    return Cluster(settings["workers"], settings["scheduler"])


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
        with cluster.scheduler_kept():
            run = IbmRun(cluster.client, shards, pairs, character)
            run.setup()

            def on_interrupt():
                logger.warning("interrupted by keyboard")
                cluster.require_workers("writing the files of the last complete step")
                logger.info("forcing to dump alignments and scores")
                run.settle()

            def write():
                logger.info("----")
                run.write_outputs(data)
                return True

            return training.train_then_write(
                lambda: run.train(limit),
                lambda: run.trained,
                write,
                on_interrupt=on_interrupt,
                untrained="interrupted by keyboard before the first M-step: nothing written",
            )
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
    with open_for(settings) as cluster, cluster.scheduler_kept():
        run = HmmRun(cluster.client, shards, pairs, settings, names)
        run.setup()

        def on_interrupt():
            logger.warning("%s", training.HMM_KEPT)
            cluster.require_workers("writing the model of the last iteration")
            run.settle()

        def write():
            run.write_outputs(paths)
            return paths

        return training.train_then_write(
            run.train,
            lambda: run.trained,
            write,
            on_interrupt=on_interrupt,
            untrained=training.HMM_UNTRAINED,
        )
