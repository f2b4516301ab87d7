"""zel-align's HMM road: both directions trained together in this process (by agreement, or
apart), then their files and links written in the output folder. The HMM with fertility
(``model="fertility"``) takes the same road: the HMM by agreement, then each direction sampled
from its links (see zel.smt.align.fertility); its files hold the sampled model's tables, and its
links come from the sampled link marginals instead of the HMM's posteriors.

- ``D.trans.txt``: the translation distribution of direction D, as zel-train writes one;
- ``D.jumps.txt``: its jump distribution ("null<TAB>p0", then "width<TAB>weight" lines from
  -JUMP_BOUND to JUMP_BOUND, the two ends standing for every wider jump);
- ``D.links.txt``: its most probable (Viterbi) links, source-target orientation;
- ``D.scores.txt``: per-pair entropies, when asked for;
- ``HEURISTIC.links.txt``: the two directions' Viterbi links symmetrised;
- ``links.txt``: the final links, those of the decoding asked for (``posterior``: every link
  whose posterior, the product of both directions', reaches the threshold; ``viterbi``: the
  symmetrised ones);
- ``links.posteriors.txt``: when asked for, each final link's posterior, "i-j p" tokens, a
  line a pair.

Ctrl-C during the HMM iterations keeps the model of the last iteration done and writes every
file from it; before the first (during Model 1) nothing is written, and the log says so. A
Ctrl-C while the files are written starts them again, and a second one stops the writing:
zel-align then puts none of the run's files in place. With ``workers`` or ``scheduler`` set,
training runs on a Dask cluster (see zel.smt.align.cluster).
"""

from pathlib import Path

from zel.common import files
from zel.common import logging as zlogging

from . import cluster, fertility, hmm, training
from . import symmetrize as sym

logger = zlogging.getColorLogger(__name__)

DIRECTIONS = ("src-trg", "trg-src")
FINAL_LINKS = "links.txt"  # what every model's road writes its final links to
LINK_POSTERIORS = "links.posteriors.txt"  # the final links' posteriors, when asked for
DECODINGS = ("posterior", "viterbi")
MODELS = ("fertility", "hmm")  # the models that take this road
MODEL1_ITERATIONS = 5
ITERATIONS = 5
# Chosen on the three gold sets at hand (bench/aer_table.py): against 0.5 it
# lowers the AER of each (0.097 to 0.085, 0.400 to 0.390, 0.642 to 0.624), trading a little
# precision for the recall that a product of two posteriors holds back.
POSTERIOR_THRESHOLD = 0.2
# The sampled model's link marginals spread where the HMM's posteriors peak: the same three
# sets, sampled with seeds 1, 2 and 3, put this below 0.15 and 0.2 on each (bench/aer_table.py).
SAMPLED_POSTERIOR_THRESHOLD = 0.1


def default_posterior_threshold(model, score_only):
    """The posterior threshold of `model`'s links: its sampled marginals' when it is trained
    with fertility, else the HMM's posteriors' (--score-only decodes with the HMM)."""
    sampled = model == "fertility" and not score_only
    return SAMPLED_POSTERIOR_THRESHOLD if sampled else POSTERIOR_THRESHOLD


def output_paths(outdir, heuristic):
    outdir = Path(outdir)
    paths = {
        d: {kind: outdir / f"{d}.{kind}.txt" for kind in ("trans", "jumps", "links", "scores")}
        for d in DIRECTIONS
    }
    paths["links"] = outdir / f"{heuristic}.links.txt"
    paths["final"] = outdir / FINAL_LINKS
    paths["posteriors"] = outdir / LINK_POSTERIORS
    return paths


def model_files(model_dir):
    """The files --score-only reads in `model_dir`: both directions' translation files, then
    both directions' jump files."""
    paths = output_paths(model_dir, sym.DEFAULT_HEURISTIC)
    return [paths[d][kind] for kind in ("trans", "jumps") for d in DIRECTIONS]


def _aligner(settings):
    common = {
        "model1_iterations": settings["iteration_limit"],
        "iterations": settings["hmm_iterations"],
        "agreement": settings["agreement"],
        "prior": settings["prior"],
        "prune": settings["prune"],
        "character": settings["character"],
    }
    src, trg = settings["src_path"], settings["trg_path"]
    if settings["model"] == "fertility" and not settings["score_only"]:
        return fertility.FertilityAligner(
            src,
            trg,
            sampling_iterations=settings["sampling_iterations"],
            chains=settings["chains"],
            seed=settings["seed"],
            **common,
        )
    return hmm.HmmAligner(src, trg, **common)


def _write_links(aligner, settings, paths):
    for d, direction in enumerate(DIRECTIONS):
        if settings["save_scores"]:
            aligner.save_scores(d, paths[direction]["scores"])
    posterior = settings["decoding"] == "posterior"
    posteriors = paths["posteriors"] if settings.get("write_link_posteriors") else None
    # Each direction's Viterbi links are computed once, for their files and the symmetrised.
    aligner.save_symmetrized_links(
        paths["links"],
        settings["heuristic"],
        *(paths[d]["links"] for d in DIRECTIONS),
        posteriors_path=None if posterior else posteriors,
    )
    if posterior:
        aligner.save_posterior_links(paths["final"], settings["posterior_threshold"], posteriors)
    else:
        files.copy(paths["links"], paths["final"])


def _warn_of_empty_tables(settings):
    if not settings["threshold"] < 1.0:
        logger.warning(
            "threshold %s keeps no entry (no probability exceeds 1): the translation files "
            "will be empty",
            settings["threshold"],
        )
    if settings["nbest"] == 0:
        logger.warning("nbest 0 keeps no entry: the translation files will be empty")


def align(settings):
    """Trains and writes; `settings` as zel-align's (see bidirectional.align_both). Returns the
    paths written. An interrupt is raised again as command.Interrupted once the files are
    written."""
    paths = output_paths(settings["outdir"], settings["heuristic"])
    _warn_of_empty_tables(settings)
    if settings["on_cluster"]:
        return cluster.align_hmm(settings, paths, DIRECTIONS)
    aligner = _aligner(settings)

    def write():
        _write_model(aligner, settings, paths)
        return paths

    return training.train_then_write(
        aligner.train,
        lambda: aligner.trained,
        write,
        on_interrupt=lambda: logger.warning("%s", training.HMM_KEPT),
        untrained=training.HMM_UNTRAINED,
    )


def _write_model(aligner, settings, paths):
    # A slice keeps as much of a row with any count beyond the native range as with its end.
    nbest = settings["nbest"]
    if nbest is not None:
        nbest = max(-(2**63), min(nbest, 2**63 - 1))
    for d, direction in enumerate(DIRECTIONS):
        aligner.save_translations(d, paths[direction]["trans"], settings["threshold"], nbest)
        aligner.save_jumps(d, paths[direction]["jumps"])
    _write_links(aligner, settings, paths)


def score(settings, model_dir):
    """Aligns the corpus of `settings` with the model files an earlier run wrote in
    `model_dir` (each direction's translation and jump files) instead of training: writes the
    links (and scores, when asked) in the output folder; returns the paths written."""
    model = model_files(model_dir)
    paths = output_paths(settings["outdir"], settings["heuristic"])
    aligner = _aligner(settings)
    aligner.load(*model)
    _write_links(aligner, settings, paths)
    return paths
