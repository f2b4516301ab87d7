"""EM iterations of IBM Models 1 and 2: zel against a literal dense NumPy formulation.

For each corpus, zel trains in a child process (so its peak memory is its own) and reports the
seconds of every Model 1 and Model 2 iteration (E-step, M-step and corpus entropy), loading and
saving, the child's peak RSS, and the nanoseconds per visited cell of each model's first
E-step (which computes the initial entropy along with its counts, and is no part of an
iteration; Model 2's runs in Model 1's last step, whose entropy it computes). The NumPy
formulation runs one iteration of each model on the same corpus where its dense arrays fit in
memory.

    python bench/em_iterations.py [--corpus NAME] [--iterations N] [--threads 1,2]
                                  [--budgets 100,50,0] [--no-numpy]

Corpora: enja_small, hansards, 100k and million (generated here, lengths 1-40), gen11 (a million
pairs of ../shared/tools/gen_corpus.py, 50,000 words a side, seed 11) and hansards-lengths (a
million generated pairs whose sentence lengths are drawn from the Hansards pairs').

Each thread count (ZEL_THREADS of the child) and pair-index budget (a percentage of the 2 bytes
a position pair that the whole index takes as ranks; ZEL_PAIR_INDEX_BUDGET_MB of the child)
gives one row; the run writes all four outputs.
"""

import argparse
import json
import logging
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared" / "data"
sys.path.insert(0, str(ROOT / "tests"))


CORPORA = ["enja_small", "hansards", "100k", "million", "gen11", "hansards-lengths"]


def corpus_files(name, workdir):
    if name == "enja_small":
        return SHARED / "enja_small" / "train.en", SHARED / "enja_small" / "train.ja"
    if name == "hansards":
        src, trg = workdir / "hansards.en", workdir / "hansards.fr"
        with open(SHARED / "wpt03_en-fr" / "hansards_10k.fr-en", encoding="utf-8") as f:
            pairs = [line.rstrip("\n").split(" ||| ") for line in f]
        src.write_text("".join(en + "\n" for _, en in pairs), encoding="utf-8")
        trg.write_text("".join(fr + "\n" for fr, _ in pairs), encoding="utf-8")
        return src, trg
    src, trg = workdir / f"{name}.src", workdir / f"{name}.trg"
    if name == "gen11":
        tool = ROOT.parent / "shared" / "tools" / "gen_corpus.py"
        subprocess.run(
            [
                sys.executable,
                tool,
                src,
                trg,
                "-n",
                "1000000",
                *("--src-vocab", "50000"),
                *("--trg-vocab", "50000", "--seed", "11"),
            ],
            check=True,
        )
        return src, trg
    # Generated pairs: words drawn Zipf-like (rank^-1); a million pairs with 50,000 words a
    # side, or 100,000 with 20,000; lengths 1-40, or as the Hansards pairs' lengths are.
    pairs, vocab = (100_000, 20_000) if name == "100k" else (1_000_000, 50_000)
    rng = np.random.default_rng(7)
    real_lengths = None
    if name == "hansards-lengths":
        with open(SHARED / "wpt03_en-fr" / "hansards_10k.fr-en", encoding="utf-8") as f:
            sides = [line.rstrip("\n").split(" ||| ") for line in f]
        real_lengths = np.array([(len(e.split()), len(f.split())) for f, e in sides])
    weights = 1.0 / np.arange(1, vocab + 1)
    weights /= weights.sum()
    with open(src, "w", encoding="utf-8") as fs, open(trg, "w", encoding="utf-8") as ft:
        for _ in range(pairs // 10_000):
            n = 10_000
            if real_lengths is None:
                ls, lt = rng.integers(1, 41, n), rng.integers(1, 41, n)
            else:
                ls, lt = real_lengths[rng.integers(0, len(real_lengths), n)].T
            ws = rng.choice(vocab, ls.sum(), p=weights)
            wt = rng.choice(vocab, lt.sum(), p=weights)
            for words, lengths, out, prefix in ((ws, ls, fs, "s"), (wt, lt, ft, "t")):
                cuts = np.cumsum(lengths)[:-1]
                out.write(
                    "".join(
                        " ".join(f"{prefix}{w}" for w in chunk) + "\n"
                        for chunk in np.split(words, cuts)
                    )
                )
    return src, trg


def visited_cells(src, trg):
    """Sum over pairs of (source words + 1) x target words: the cells one E-step visits."""
    total = 0
    with open(src, encoding="utf-8") as fs, open(trg, encoding="utf-8") as ft:
        for s_line, t_line in zip(fs, ft, strict=False):
            total += (s_line.count(" ") + 2) * (t_line.count(" ") + 1)
    return total


def child(src, trg, outdir, iterations):
    """Trains in this process and prints the timed log as JSON."""
    from zel.smt.align import emalign

    events = []

    class Recorder(logging.Handler):
        def emit(self, record):
            events.append((time.perf_counter(), record.getMessage()))

    logging.getLogger("zel").addHandler(Recorder())
    start = time.perf_counter()
    emalign.train_emalign(
        {
            "src_path": src,
            "trg_path": trg,
            "character": False,
            "iteration_limit": iterations,
            "threshold": 0.001,
            "nbest": 100,
            "save_trans_path": f"{outdir}/trans.txt",
            "save_align_path": f"{outdir}/align.txt",
            "save_scores": f"{outdir}/scores.txt",
            "decode_align": f"{outdir}/decoded.txt",
        }
    )
    end = time.perf_counter()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"start": start, "end": end, "events": events, "peak": peak}))


def phases(run):
    """Seconds of each model's iterations and E-steps, set-up, saving and the whole run."""
    events = run["events"]
    times = {"model1": [], "model2": []}
    estep = []
    phase = step_start = pass_start = last_pass = loaded = saved = None
    for t, message in events:
        if message in ("start training IBM Model 1", "start training IBM Model 2"):
            phase = "model1" if message.endswith("1") else "model2"
            if loaded is None:
                loaded = t - run["start"]
        elif message.startswith("step: "):
            step_start = t
        elif message == "calculating entropy":
            pass_start = t
        elif message.startswith("initial entropy: "):
            # Each model's first E-step runs along with its initial entropy; Model 2's runs in
            # Model 1's last step instead, whose entropy is Model 2's initial entropy, and the
            # initial entropy then takes no time of its own.
            # Like every model's first E-step, it is no part of an iteration: it leaves Model 1's
            # last step.
            seconds = t - pass_start
            if phase == "model2" and times["model1"] and last_pass and seconds < 0.05 * last_pass:
                times["model1"][-1] -= last_pass
                seconds = last_pass
            estep.append(seconds)
        elif message.startswith("entropy: ") and step_start is not None:
            times[phase].append(t - step_start)
            last_pass = t - pass_start
            step_start = None
        elif message == "----" and phase == "model2" and saved is None:
            saved = t
    return {
        "times": times,
        "estep": estep,
        "setup": loaded,
        "saving": run["end"] - saved,
        "whole": run["end"] - run["start"],
    }


def numpy_iteration(src, trg):
    from smt.align.reference import Model2Reference, load

    pairs, src_words, trg_words = load(src, trg)
    dense_bytes = len(src_words) * len(trg_words) * 8 * 2
    if dense_bytes > 12e9:
        return None
    ref = Model2Reference(pairs, len(src_words), len(trg_words))
    result = {}
    with np.errstate(all="ignore"):
        for name, step in (("model1", ref.model1_step), ("model2", ref.model2_step)):
            start = time.perf_counter()
            step()
            ref.entropy()
            result[name] = time.perf_counter() - start
    return result


def add_run_options(parser, default_corpus):
    """The options every training benchmark takes: corpus, iterations and thread counts."""
    parser.add_argument("--corpus", choices=CORPORA, default=default_corpus)
    parser.add_argument("--iterations", type=int, default=5)
    parser.add_argument("--threads", default="", help="comma-separated ZEL_THREADS values")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_run_options(parser, "enja_small")
    parser.add_argument(
        "--budgets", default="", help="comma-separated pair-index budgets, in percent"
    )
    parser.add_argument("--no-numpy", action="store_true")
    parser.add_argument(
        "--child", nargs=3, metavar=("SRC", "TRG", "OUTDIR"), help=argparse.SUPPRESS
    )
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.iterations)
        return 0

    counts = [int(n) for n in args.threads.split(",") if n] or [None]
    budgets = [float(b) for b in args.budgets.split(",") if b] or [None]
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        src, trg = corpus_files(args.corpus, workdir)
        cells = visited_cells(src, trg)
        for count, budget in ((c, b) for b in budgets for c in counts):
            env = dict(os.environ)
            if count is not None:
                env["ZEL_THREADS"] = str(count)
            if budget is not None:
                env["ZEL_PAIR_INDEX_BUDGET_MB"] = str(budget / 100 * cells * 2 / 2**20)
            command = [sys.executable, __file__, "--iterations", str(args.iterations)]
            proc = subprocess.Popen(
                [*command, "--child", str(src), str(trg), tmp],
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
                text=True,
                env=env,
            )
            out, _ = proc.communicate()
            run = json.loads(out.strip().splitlines()[-1])
            rows.append((count, budget, phases(run), run["peak"]))
        reference = None if args.no_numpy else numpy_iteration(src, trg)

    print(
        f"corpus: {args.corpus}, {cells:,d} visited cells an E-step, {args.iterations} "
        "iterations a phase"
    )
    print(
        "| threads | index budget | Model 1 s/iteration | Model 2 s/iteration | E-step ns/cell "
        "| set-up s | saving s | whole run s | peak memory |"
    )
    print("|---|---|---|---|---|---|---|---|---|")
    for count, budget, run, peak in rows:
        mean = {k: sum(v) / max(len(v), 1) for k, v in run["times"].items()}
        ns = 1e9 * sum(run["estep"]) / max(len(run["estep"]), 1) / cells
        print(
            f"| {count or 'all'} | {'default' if budget is None else f'{budget:g}%'} "
            f"| {mean['model1']:.3f} | {mean['model2']:.3f} | {ns:.1f} | "
            f"{run['setup']:.2f} | {run['saving']:.2f} | {run['whole']:.2f} | "
            f"{peak / 1e6:,.0f} MB |"
        )
    if reference:
        print(
            f"NumPy dense s/iteration: Model 1 {reference['model1']:.2f}, "
            f"Model 2 {reference['model2']:.2f}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
