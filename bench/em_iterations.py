"""EM iterations of IBM Models 1 and 2: zel against a literal dense NumPy formulation.

For each corpus, zel trains in a child process (so its peak memory is its own) and reports the
seconds of every Model 1 and Model 2 iteration (E-step, M-step and corpus entropy), loading and
saving, and the child's peak RSS. The NumPy formulation runs one iteration of each model on the
same corpus where its dense arrays fit in memory.

    python bench/em_iterations.py [--corpus enja_small|hansards|million] [--iterations N]
"""

import argparse
import json
import logging
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
    # A million generated pairs: lengths 1-40, 50,000 words a side drawn Zipf-like (rank^-1).
    src, trg = workdir / "million.src", workdir / "million.trg"
    rng = np.random.default_rng(7)
    weights = 1.0 / np.arange(1, 50_001)
    weights /= weights.sum()
    with open(src, "w", encoding="utf-8") as fs, open(trg, "w", encoding="utf-8") as ft:
        for _ in range(100):
            n = 10_000
            ls, lt = rng.integers(1, 41, n), rng.integers(1, 41, n)
            ws = rng.choice(50_000, ls.sum(), p=weights)
            wt = rng.choice(50_000, lt.sum(), p=weights)
            for words, lengths, out, prefix in ((ws, ls, fs, "s"), (wt, lt, ft, "t")):
                cuts = np.cumsum(lengths)[:-1]
                out.write(
                    "".join(
                        " ".join(f"{prefix}{w}" for w in chunk) + "\n"
                        for chunk in np.split(words, cuts)
                    )
                )
    return src, trg


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
            "save_scores": None,
            "decode_align": None,
        }
    )
    end = time.perf_counter()
    print(json.dumps({"start": start, "end": end, "events": events}))


def phases(run):
    events = run["events"]
    times = {"model1": [], "model2": []}
    spans = {}
    phase, step_start = None, None
    loaded = saved = None
    for t, message in events:
        if message in ("start training IBM Model 1", "start training IBM Model 2"):
            phase = "model1" if message.endswith("1") else "model2"
            spans[phase] = [t, t]
            if loaded is None:
                loaded = t - run["start"]
        elif message.startswith("step: "):
            step_start = t
        elif message.startswith("entropy: ") and step_start is not None:
            times[phase].append(t - step_start)
            step_start = None
            spans[phase][1] = t

        elif message == "----" and phase == "model2" and saved is None:
            saved = t
    totals = {name: end - start for name, (start, end) in spans.items()}
    return times, totals, loaded, run["end"] - saved


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--corpus", choices=["enja_small", "hansards", "million"], default="enja_small"
    )
    parser.add_argument("--iterations", type=int, default=5)
    parser.add_argument("--no-numpy", action="store_true")
    parser.add_argument(
        "--child", nargs=3, metavar=("SRC", "TRG", "OUTDIR"), help=argparse.SUPPRESS
    )
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.iterations)
        return 0

    with tempfile.TemporaryDirectory() as tmp:
        workdir = Path(tmp)
        src, trg = corpus_files(args.corpus, workdir)
        proc = subprocess.run(
            [
                sys.executable,
                __file__,
                "--iterations",
                str(args.iterations),
                "--child",
                str(src),
                str(trg),
                tmp,
            ],
            capture_output=True,
            text=True,
            check=True,
        )
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
        times, totals, loaded, saving = phases(json.loads(proc.stdout.strip().splitlines()[-1]))
        reference = None if args.no_numpy else numpy_iteration(src, trg)

    print(f"corpus: {args.corpus}, {args.iterations} iterations a phase")
    print("| | zel s/iteration (mean) | NumPy dense s/iteration | speed-up |")
    print("|---|---|---|---|")
    for name in ("model1", "model2"):
        ours = sum(times[name]) / max(len(times[name]), 1)
        theirs = reference[name] if reference else None
        ratio = f"{theirs / ours:.0f}x" if theirs else "n/a"
        shown = f"{theirs:.2f}" if theirs else "does not fit / skipped"
        print(f"| {name} | {ours:.3f} ({len(times[name])} steps) | {shown} | {ratio} |")
    print(
        f"loading and setup {loaded:.2f} s, Model 1 phase {totals['model1']:.2f} s (with its "
        f"initial entropy), Model 2 phase {totals['model2']:.2f} s, saving {saving:.2f} s, "
        f"peak RSS {peak / 1e6:.0f} MB"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
