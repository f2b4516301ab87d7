"""Training both directions and symmetrising their links: the zel-align command line.

With ``model="fertility"`` (the default in one process) both directions of the HMM model are
trained together in this process, then sampled with fertility (see ``zel.smt.align.fertility``);
with ``model="hmm"`` (the default on a cluster) the HMM alone. See ``zel.smt.align.hmm_road``
for their files. With ``model="ibm2"``,
``align_both`` trains IBM Models 1 and 2 source-to-target and target-to-source with the
settings of zel-train, then combines the two directions' decoded links (see
``zel.smt.align.symmetrize``). Files written in the output folder, for each direction D
("src-trg", "trg-src"):

- ``D.trans.txt``, ``D.align.txt``: the distribution files, as zel-train writes them;
- ``D.decoded.txt``: the decoded alignment, as zel-train writes it (in D's own orientation);
- ``D.links.txt``: its links as "i-j" lines, source-target orientation for both directions;
- ``D.scores.txt``: per-pair entropies, when asked for;

and ``HEURISTIC.links.txt``, the symmetrised links, which are also the final ``links.txt``.

With ``workers`` or ``scheduler`` set, the HMM or IBM Model 2 trains on a Dask cluster (see
``zel.smt.align.cluster``) and writes the same files.

Each direction trains in a process of its own; when the process may use two cores or more the
two run at once, sharing the cores (the outputs are the same bytes either way). Ctrl-C works as
for zel-train: each running direction stops training and writes its files, and the links of
what was written are symmetrised; a direction not yet started is not started.

    zel-align SRC TRG OUTDIR [--model fertility|hmm|ibm2] [-I N] [-t X] [-n N] [-c]
                             [--heuristic NAME] [--write-scores] [settings: see --help]
    zel-align -i FILE OUTDIR ...     (FILE: "source ||| target" lines)
"""

import argparse
import ctypes
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import zel
from zel.common import command, files, progress, threads
from zel.common import logging as zlogging
from zel.common.config import Config
from zel.smt.trans_models import extract

from . import cluster, emalign, fertility, hmm_road
from . import symmetrize as sym

logger = zlogging.getColorLogger(__name__)

DIRECTIONS = hmm_road.DIRECTIONS
MODELS = ("fertility", "hmm", "ibm2")
DEFAULT_MODEL = "fertility"
# The model a cluster trains when none is asked for: the fertility model samples in one process.
CLUSTER_MODEL = "hmm"
SIDES = ("src_path", "trg_path")
PHRASE_TABLE = "phrase-table.gz"
_PR_SET_PDEATHSIG = 1


def split_pairs(path, src_path, trg_path):
    """Writes the two sides of a one-file corpus (``source ||| target`` a line, as other
    aligners read it) to `src_path` and `trg_path`; returns the number of pairs. A line without
    the separator is a ValueError naming the file and line."""
    files.check_outputs([src_path, trg_path], [path])
    pairs = 0
    with (
        files.open(path, "rb") as lines,
        files.open(src_path, "wt") as src,
        files.open(trg_path, "wt") as trg,
    ):
        for number, raw in enumerate(lines, 1):
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as e:
                raise ValueError(
                    f"{os.fspath(path)}, line {number}: not UTF-8 (byte {e.start + 1}: {e.reason})"
                ) from None
            source, bar, target = line.rstrip("\n").partition("|||")
            if not bar:
                raise ValueError(f"{os.fspath(path)}, line {number}: no ' ||| ' between the sides")
            src.write(source.strip() + "\n")
            trg.write(target.strip() + "\n")
            pairs += 1
    return pairs


def corpus_paths(outdir):
    """Where align_both writes the two sides of a one-file corpus."""
    return Path(outdir) / "corpus.src.txt", Path(outdir) / "corpus.trg.txt"


def settings_of(conf):
    """zel-align's settings from `conf` (a mapping or Config, as align_both takes it), checked,
    with their defaults."""
    return _settings(Config(conf))


def _settings(conf):
    data = conf.data
    outdir = os.fspath(data.outdir)
    if conf.get("input_path", None):
        src_path, trg_path = (os.fspath(p) for p in corpus_paths(outdir))
    else:
        src_path, trg_path = os.fspath(data.src_path), os.fspath(data.trg_path)
    settings = {
        "src_path": src_path,
        "trg_path": trg_path,
        "input_path": conf.get("input_path", None),
        "outdir": outdir,
        "iteration_limit": conf.get("iteration_limit", emalign.ITERATION_LIMIT),
        "threshold": conf.get("threshold", emalign.THRESHOLD),
        "nbest": conf.get("nbest", emalign.NBEST),
        "character": bool(conf.get("character", False)),
        "heuristic": conf.get("heuristic", sym.DEFAULT_HEURISTIC),
        "save_scores": bool(conf.get("save_scores", False)),
        "model": conf.get("model", None),
        "hmm_iterations": conf.get("hmm_iterations", hmm_road.ITERATIONS),
        "agreement": bool(conf.get("agreement", True)),
        "prior": float(conf.get("prior", 0.0)),
        "prune": conf.get("prune", None),
        "decoding": conf.get("decoding", "posterior"),
        "score_only": conf.get("score_only", None),
        "posterior_threshold": conf.get("posterior_threshold", None),
        "sampling_iterations": conf.get("sampling_iterations", None),
        "chains": conf.get("chains", fertility.CHAINS),
        "seed": conf.get("seed", fertility.SEED),
        "debug": bool(conf.get("debug", False)),
        "quiet": bool(conf.get("quiet", False)),
        "workers": conf.get("workers", None),
        "scheduler": conf.get("scheduler", None),
        "shard_size": conf.get("shard_size", cluster.SHARD_SIZE),
        "phrase_table": bool(conf.get("phrase_table", False)),
        "write_link_posteriors": bool(conf.get("write_link_posteriors", False)),
    }
    for key, option, least, most in _COUNTS:
        if settings[key] is not None or key not in _UNSET_ALLOWED:
            _check_count(settings[key], option, least, most)
    settings["on_cluster"] = on_cluster = cluster.wanted(settings)
    if settings["model"] is None:
        settings["model"] = CLUSTER_MODEL if on_cluster else DEFAULT_MODEL
    elif settings["model"] == "fertility" and on_cluster:
        raise ValueError(
            "the fertility model samples in one process: on a cluster, train --model hmm "
            "(the default there)"
        )
    if settings["posterior_threshold"] is None:
        settings["posterior_threshold"] = hmm_road.default_posterior_threshold(
            settings["model"], settings["score_only"]
        )
    settings["posterior_threshold"] = float(settings["posterior_threshold"])
    if settings["phrase_table"] and settings["character"]:
        raise ValueError("a phrase table is made of words: --phrase-table takes no --character")
    if settings["write_link_posteriors"] and (
        on_cluster or settings["model"] not in hmm_road.MODELS
    ):
        raise ValueError(
            "--write-link-posteriors writes the posteriors of the HMM's links in this process: "
            "it takes no --model ibm2, --workers or --scheduler"
        )
    if settings["prune"] is not None:
        settings["prune"] = float(settings["prune"])
        if on_cluster and settings["prune"]:
            raise ValueError(
                "--prune leaves cells out of the HMM in this process: it takes no --workers or "
                "--scheduler (the cluster's HMM keeps every cell)"
            )
        if not 0.0 <= settings["prune"] <= 1.0:
            raise ValueError(f"--prune must be from 0 to 1, not {settings['prune']}")
    if on_cluster and settings["score_only"]:
        raise ValueError(
            "--score-only aligns in this process: it takes no --workers or --scheduler"
        )
    sym.check_heuristic(settings["heuristic"])
    if settings["model"] not in MODELS:
        raise ValueError(f"unknown model {settings['model']!r} (known: {', '.join(MODELS)})")
    if not 0.0 <= settings["posterior_threshold"] <= 1.0:
        raise ValueError(
            f"the posterior threshold must be from 0 to 1, not {settings['posterior_threshold']}"
        )
    if settings["decoding"] not in hmm_road.DECODINGS:
        raise ValueError(
            f"unknown decoding {settings['decoding']!r} (known: {', '.join(hmm_road.DECODINGS)})"
        )
    return settings


# Whole-number settings, their options, and their least and most values. The trainers count in
# 32 bits; the seed is 64.
_MOST = 2**31 - 1
_UNSET_ALLOWED = {"sampling_iterations"}  # None: the model's own choice
_COUNTS = (
    ("iteration_limit", "-I/--iteration-limit", -(2**31), _MOST),
    ("hmm_iterations", "--hmm-iterations", 0, _MOST),
    ("sampling_iterations", "--sampling-iterations", 0, _MOST),
    ("chains", "--chains", 1, fertility.MOST_CHAINS),
    ("seed", "--seed", 0, 2**64 - 1),
    ("shard_size", "--shard-size", 1, _MOST),
)


def _check_count(value, option, least, most):
    if isinstance(value, bool) or not isinstance(value, int) or not least <= value <= most:
        raise ValueError(
            f"{option} must be a whole number from {least:,} to {most:,}, not {value!r}"
        )


def output_paths(outdir, heuristic=sym.DEFAULT_HEURISTIC):
    """The files align_both writes in `outdir`: {"src-trg": {kind: path}, ..., "links": path}."""
    outdir = Path(outdir)
    paths = {
        d: {
            kind: outdir / f"{d}.{kind}.txt"
            for kind in ("trans", "align", "decoded", "links", "scores")
        }
        for d in DIRECTIONS
    }
    paths["links"] = outdir / f"{heuristic}.links.txt"
    paths["final"] = outdir / hmm_road.FINAL_LINKS
    return paths


def _train_conf(settings, direction):
    paths = output_paths(settings["outdir"])[direction]
    src, trg = settings["src_path"], settings["trg_path"]
    if direction == "trg-src":
        src, trg = trg, src
    return {
        "src_path": src,
        "trg_path": trg,
        "character": settings["character"],
        "iteration_limit": settings["iteration_limit"],
        "threshold": settings["threshold"],
        "nbest": settings["nbest"],
        "save_trans_path": str(paths["trans"]),
        "save_align_path": str(paths["align"]),
        "save_scores": str(paths["scores"]) if settings["save_scores"] else None,
        "decode_align": str(paths["decoded"]),
    }


def _end_with_parent(parent):
    """Asks the kernel to send this process SIGTERM when the process that started it ends
    (Linux), which ends a run as Ctrl-C does; a parent already gone ends it at once."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except (OSError, AttributeError):
        pass
    if os.getppid() != parent:
        raise SystemExit(128 + signal.SIGTERM)


def _run_direction(job_text):
    """A direction's process: train it as zel-train does. Exits 0 when its files were written
    (also after an interrupt), else with zel-train's status."""
    job = json.loads(job_text)
    _end_with_parent(job["parent"])
    threads.set_threads(job["threads"])
    zlogging.set_label(job["direction"])
    names = [emalign.__name__, __name__]
    written = []

    def train():
        with (
            zlogging.using_config(names, debug=job["debug"], quiet=job["quiet"]),
            zlogging.rewriting(*job["shown_as"]),
        ):
            if job["hide_progress"]:
                with progress.hidden():
                    written.append(emalign.train_emalign(job["conf"]))
            else:
                written.append(emalign.train_emalign(job["conf"]))

    status = command.run(train, emalign.__name__)
    sys.exit(0 if written and status == command.interrupted() else status)


def _start(settings, direction, thread_count, together):
    job = {
        "direction": direction,
        "conf": _train_conf(settings, direction),
        "threads": thread_count,
        "debug": settings["debug"],
        "quiet": settings["quiet"],
        "hide_progress": together and direction != DIRECTIONS[0],
        "parent": os.getpid(),
        "shown_as": [settings["outdir"], settings["shown_outdir"]],
    }
    code = f"from {__name__} import _run_direction; _run_direction({json.dumps(job)!r})"
    env = dict(os.environ)
    if together:
        # Both directions size their memory-bound tables by the memory they share.
        env["ZEL_MEMORY_SHARE"] = str(len(DIRECTIONS))
    # The package this process runs, also when it was put on the path by hand.
    package_root = str(Path(zel.__file__).resolve().parent.parent)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    # A session of its own: Ctrl-C reaches this process only, which passes it on once.
    return subprocess.Popen([sys.executable, "-c", code], env=env, start_new_session=True)


class _Runs:
    """The direction processes running; on Ctrl-C each gets one SIGINT and is waited for."""

    def __init__(self):
        self.running = {}
        self.interrupted = False

    def interrupt(self):
        if not self.interrupted:
            logger.warning("interrupted by keyboard")
            logger.info("waiting for each direction to write its files")
        self.interrupted = True
        for process in self.running.values():
            if process.poll() is None:
                process.send_signal(signal.SIGINT)

    def wait(self):
        """Waits for every running process; returns {direction: exit status}."""
        codes = {}
        for direction, process in list(self.running.items()):
            while True:
                try:
                    codes[direction] = process.wait()
                    break
                except KeyboardInterrupt:
                    self.interrupt()
        self.running.clear()
        return codes


def _road(settings):
    """Trains and aligns as the settings ask; returns the paths written."""
    if settings["score_only"]:
        if settings["model"] not in hmm_road.MODELS:
            raise ValueError(
                "score_only reads the HMM's files: zel-score scores with IBM Model 2's"
            )
        logger.info("aligning with the HMM files of %s", os.fspath(settings["score_only"]))
        return hmm_road.score(settings, settings["score_only"])
    if settings["model"] in hmm_road.MODELS:
        logger.info(
            "training the HMM model in both directions%s%s",
            " by agreement" if settings["agreement"] else "",
            ", then sampling it with fertility" if settings["model"] == "fertility" else "",
        )
        return hmm_road.align(settings)
    return _align_ibm2(settings)


def align_both(conf, **others):
    """Train both directions of a parallel corpus and symmetrise their links.

    `conf` is a mapping (or Config) with ``src_path``, ``trg_path`` and ``outdir`` (or, instead
    of the two sides, ``input_path``: one file of ``source ||| target`` lines, whose sides are
    written to ``corpus_paths(outdir)`` first), and
    optionally ``iteration_limit``, ``threshold``, ``nbest``, ``character`` (the settings of
    zel-train, with its defaults), ``heuristic`` (default grow-diag-final-and),
    ``save_scores`` (a flag), ``phrase_table`` (a flag: also write the phrase table of the final
    links, see ``zel.smt.trans_models.extract``), ``debug`` and ``quiet``; keyword settings
    override it.
    Returns the paths written (see ``output_paths``; "links" is None when, one direction after
    the other, an interrupt came before the second started). A direction whose training
    process fails is a RuntimeError naming it, raised once the other has finished.
    """
    conf = Config(conf)
    conf.update(others)
    settings = _settings(conf)
    inputs = [settings["input_path"]] if settings["input_path"] else [settings[s] for s in SIDES]
    for side in inputs:
        if not os.path.isfile(side):
            raise FileNotFoundError(f"no such corpus file: {os.fspath(side)}")
    if settings["score_only"]:
        inputs += hmm_road.model_files(settings["score_only"])
    outdir = settings["outdir"]
    Path(outdir).mkdir(parents=True, exist_ok=True)
    replaced = _replaced_outputs(settings)
    files.check_outputs(replaced, inputs)
    leftovers = files.Staging.leftovers(outdir)
    if leftovers:
        logger.warning(
            "%s holds the files of runs that ended before putting them in place (%s): remove "
            "them once they are not wanted",
            outdir,
            ", ".join(leftovers),
        )
    stage = files.Staging(outdir)
    staged = dict(settings, outdir=stage.path, shown_outdir=os.fspath(outdir))
    if settings["input_path"]:
        staged["src_path"], staged["trg_path"] = (os.fspath(p) for p in corpus_paths(stage.path))
    try:
        # The log names the files where they are put, not where they are written first.
        with zlogging.rewriting(stage.path, os.fspath(outdir)):
            paths = _write_all(staged)
    except command.Interrupted:
        # Ended as its module promises on Ctrl-C: the files of the last complete step.
        stage.commit(replaced)
        raise
    except BaseException as e:
        stage.discard()
        stage.unstage(e)
        if isinstance(e, KeyboardInterrupt):
            logger.warning(
                "interrupted: no file of this run was written (%s keeps what it held)", outdir
            )
        raise
    stage.commit(replaced)
    return _moved(paths, stage)


def _write_all(settings):
    if settings["input_path"]:
        split_pairs(settings["input_path"], settings["src_path"], settings["trg_path"])
    paths = _road(settings)
    if settings["phrase_table"] and paths.get("links") is not None:
        paths["phrase_table"] = Path(settings["outdir"]) / PHRASE_TABLE
        extract.extract(
            {
                "src_path": settings["src_path"],
                "trg_path": settings["trg_path"],
                "links_path": paths["final"],
                "out_path": paths["phrase_table"],
            }
        )
    return paths


def _replaced_outputs(settings):
    """The files of OUTDIR that a run's result replaces: those it may write, and those an
    earlier run of another model or settings wrote there (they would no longer belong beside
    the new ones). Scoring with --score-only replaces only links and scores."""
    outdir = settings["outdir"]
    kinds = {"links", "scores"}
    if not settings["score_only"]:
        kinds |= {"trans", "align", "decoded", "jumps"}
    paths = [Path(outdir) / f"{d}.{kind}.txt" for d in DIRECTIONS for kind in sorted(kinds)]
    paths += [
        Path(outdir) / f"{settings['heuristic']}.links.txt",
        Path(outdir) / hmm_road.FINAL_LINKS,
        Path(outdir) / hmm_road.LINK_POSTERIORS,
        Path(outdir) / PHRASE_TABLE,
    ]
    if settings["input_path"]:
        paths += corpus_paths(outdir)
    return paths


def _moved(paths, stage):
    """`paths` (as the roads return them) where the staged files were put."""
    if isinstance(paths, dict):
        return {key: _moved(value, stage) for key, value in paths.items()}
    return None if paths is None else Path(stage.final(paths))


def _align_ibm2(settings):
    paths = output_paths(settings["outdir"], settings["heuristic"])
    if settings["on_cluster"]:
        return _align_on_cluster(settings, paths)
    cores = threads.get_threads() or threads.usable_cores()
    together = cores >= 2
    shares = [cores - cores // 2, cores // 2] if together else [cores, cores]
    logger.info(
        "training %s with %s",
        " and ".join(DIRECTIONS),
        "one process each, at once" if together else "one process after the other",
    )
    runs = _Runs()
    codes = {}
    try:
        for direction, share in zip(DIRECTIONS, shares, strict=True):
            if runs.interrupted:
                logger.warning("%s: not trained (interrupted before it started)", direction)
                continue
            runs.running[direction] = _start(settings, direction, share, together)
            if not together:
                codes.update(runs.wait())
        codes.update(runs.wait())
    except KeyboardInterrupt:
        runs.interrupt()
        codes.update(runs.wait())
    failed = [d for d, code in codes.items() if code != 0]
    if failed:
        raise RuntimeError(
            "training "
            + " and ".join(failed)
            + " failed (exit status "
            + ", ".join(str(codes[d]) for d in failed)
            + "); the error is logged above"
        )
    return _links(settings, paths, codes)


def _links(settings, paths, trained):
    """The links of the directions `trained`, and when both were, their symmetrised links."""
    for direction in trained:
        sym.to_links(paths[direction]["decoded"], paths[direction]["links"], direction == "trg-src")
    if len(trained) < len(DIRECTIONS):
        paths["links"] = None
    else:
        sym.symmetrize(
            paths["src-trg"]["decoded"],
            paths["trg-src"]["decoded"],
            paths["links"],
            settings["heuristic"],
        )
        files.copy(paths["links"], paths["final"])
    return paths


def _align_on_cluster(settings, paths):
    """Both directions of IBM Models 1 and 2 on one Dask cluster, one after the other."""
    trained = []
    with cluster.open_for(settings) as running:
        for direction in DIRECTIONS:
            logger.info("training %s on the cluster", direction)
            try:
                cluster.train(
                    _train_conf(settings, direction),
                    cluster=running,
                    shard_size=settings["shard_size"],
                )
            except cluster.Interrupted:
                trained.append(direction)
                _links(settings, paths, trained)
                raise
            trained.append(direction)
    return _links(settings, paths, trained)


def create_parser():
    parser = argparse.ArgumentParser(
        prog="zel-align",
        description="Train an alignment model in both directions and write their links.",
    )
    parser.add_argument(
        "paths",
        nargs="+",
        metavar="SRC TRG OUTDIR",
        help="files of source-side and target-side lines of parallel text, and the output "
        "folder (made when missing); with --input, the output folder alone",
    )
    parser.add_argument(
        "--input",
        "-i",
        dest="input_path",
        metavar="FILE",
        help='one file of "source ||| target" lines instead of SRC and TRG (its sides are '
        "written to OUTDIR/corpus.src.txt and OUTDIR/corpus.trg.txt)",
    )
    parser.add_argument(
        "--iteration-limit",
        "-I",
        type=int,
        default=emalign.ITERATION_LIMIT,
        help="maximum iteration number of EM algorithm (default: %(default)s)",
    )
    parser.add_argument(
        "--threshold",
        "-t",
        type=float,
        default=emalign.THRESHOLD,
        help="threshold of translation distribution to save (default: %(default)s)",
    )
    parser.add_argument(
        "--nbest",
        "-n",
        type=int,
        default=emalign.NBEST,
        help='limit number of records to save, taking top-n of "p(trg|src)" (default: %(default)s)',
    )
    parser.add_argument(
        "--character", "-c", action="store_true", help="character based alignment mode"
    )
    sym.add_heuristic_option(parser)
    parser.add_argument(
        "--model",
        choices=MODELS,
        help="fertility: the HMM, then each direction sampled with fertility from its links; "
        "hmm: the HMM model after IBM Model 1 (-I iterations), both directions trained "
        "together; ibm2: IBM Models 1 and 2, each direction apart (default: fertility, hmm on "
        "a cluster)",
    )
    parser.add_argument(
        "--hmm-iterations",
        type=int,
        default=hmm_road.ITERATIONS,
        help="HMM iterations after Model 1 (default: %(default)s)",
    )
    parser.add_argument(
        "--agreement",
        action=argparse.BooleanOptionalAction,
        default=True,
        help="train the two HMM directions by agreement (default: yes)",
    )
    parser.add_argument(
        "--prior",
        type=float,
        default=0.0,
        help="Dirichlet prior of the HMM translation tables, variational Bayes when above 0 "
        "(default: %(default)s)",
    )
    parser.add_argument(
        "--prune",
        type=float,
        help="leave out of the HMM the translation cells below this probability after IBM "
        "Model 1, to train in less memory; 0 keeps every cell (default: "
        f"{fertility.PRUNE:g} for the fertility model from {fertility.PRUNE_FROM:,} pairs "
        "on, else 0; one process only)",
    )
    parser.add_argument(
        "--sampling-iterations",
        type=int,
        help="iterations of each sampling phase of the fertility model (default: 100 up to "
        "2,500 pairs, 50 at 10,000, fewer above, at least 5)",
    )
    parser.add_argument(
        "--chains",
        type=int,
        default=fertility.CHAINS,
        help="independent sampling chains of the fertility model, whose marginals are "
        "averaged (default: %(default)s)",
    )
    parser.add_argument(
        "--seed",
        type=int,
        default=fertility.SEED,
        help="seed of the fertility model's sampling; a seed gives the same links on any "
        "number of threads (default: %(default)s)",
    )
    parser.add_argument(
        "--decoding",
        choices=hmm_road.DECODINGS,
        default="posterior",
        help="the HMM's final links (links.txt): posterior (the product of both directions' "
        "posteriors at least --posterior-threshold) or viterbi (symmetrised by --heuristic) "
        "(default: %(default)s)",
    )
    parser.add_argument(
        "--posterior-threshold",
        type=float,
        help="least posterior of a link, with --decoding posterior (default: "
        f"{hmm_road.SAMPLED_POSTERIOR_THRESHOLD} for the fertility model's sampled marginals, "
        f"{hmm_road.POSTERIOR_THRESHOLD} for the HMM's posteriors and --score-only)",
    )
    parser.add_argument(
        "--score-only",
        metavar="MODELDIR",
        help="align with the HMM's translation and jump files that an earlier run wrote in "
        "MODELDIR instead of training",
    )
    parser.add_argument(
        "--write-link-posteriors",
        action="store_true",
        help="also write each final link's posterior (the product of both directions') to "
        f'OUTDIR/{hmm_road.LINK_POSTERIORS}: "i-j p" tokens, a line a pair (the HMM, in this '
        "process)",
    )
    parser.add_argument(
        "--write-scores",
        dest="save_scores",
        action="store_true",
        help="also write the entropy of each pair, for each direction (D.scores.txt)",
    )
    parser.add_argument(
        "--workers",
        type=int,
        help="train on a local Dask cluster of this many worker processes, at most 8 a core "
        "(needs pip install 'zel[distributed]')",
    )
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="train on the running Dask cluster of this scheduler (every worker needs this "
        "zel version; the corpus is read where a worker sees the same file, else sent)",
    )
    parser.add_argument(
        "--shard-size",
        type=int,
        default=cluster.SHARD_SIZE,
        help="sentence pairs a shard, on a cluster (default: %(default)s)",
    )
    parser.add_argument(
        "--phrase-table",
        action="store_true",
        help="also extract and score the phrase pairs of the final links into "
        f"OUTDIR/{PHRASE_TABLE}",
    )
    parser.add_argument("--debug", "-D", action="store_true", help="debug mode")
    parser.add_argument("--quiet", "-q", action="store_true", help="not showing staging log")
    return parser


def loggers():
    """The loggers zel-align's switches (--debug, --quiet) reach."""
    return [
        __name__,
        cluster.roads.__name__,
        cluster.client.__name__,
        cluster.shards.__name__,
        extract.__name__,
        "zel.smt.align.lexone",
        "zel.smt.align.lextwo",
    ]


def main(argv=None):
    parser = create_parser()
    args = parser.parse_args(argv)
    wanted = 1 if args.input_path else 3
    if len(args.paths) != wanted:
        parser.error("give OUTDIR with --input, else SRC TRG OUTDIR")
    *sides, args.outdir = args.paths
    args.src_path, args.trg_path = sides or (None, None)
    del args.paths
    with zlogging.using_config(loggers(), debug=args.debug, quiet=args.quiet):
        try:
            paths = align_both(vars(args))
        except (OSError, ValueError, RuntimeError, ImportError, MemoryError) as e:
            logger.error("%s", zlogging.error_text(e))
            return 1
        if paths["links"] is None:
            return 1
        if args.model == "ibm2":
            logger.info("symmetrised links: %s", paths["links"])
        logger.info("links: %s", paths["final"])
    return 0
