"""Alignment error rate, precision and recall of every zel-align model and decoding on every
gold set at hand, with the wall time of each run: the table README.md shows.

    python bench/aer_table.py [--data ../shared/data] [--seeds 1] [--thresholds 0.1,0.2]

Gold sets (the links scored are those of the pairs the gold covers):

- Hansards en-fr: English source, trained on the 10,447 pairs of hansards_10k.fr-en, scored
  on the first 447 (the WPT-03 gold, test.wa.nonullalign);
- Hansards en-fr, first 1,000: the same gold, trained on the first 1,000 pairs only (small
  data);
- Europarl de-en (deen_eurogold2) and en-tr (entr_lrec2012): trained on their gold pairs alone
  (150 and 300).

Each model runs with zel-align's defaults (--decoding posterior at the model's threshold, and
--decoding viterbi, symmetrised by grow-diag-final-and); --seeds runs the sampled model once a
seed, --thresholds adds the posterior links at those thresholds.
"""

import argparse
import itertools
import tempfile
import time
from pathlib import Path

from zel.smt.align import bidirectional, evaluate

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data"


def hansards(data, folder, pairs=None):
    """English and French sides of the Hansards' first `pairs` lines (all when None)."""
    src, trg = folder / f"hansards{pairs or ''}.en", folder / f"hansards{pairs or ''}.fr"
    with (
        open(data / "wpt03_en-fr" / "hansards_10k.fr-en", encoding="utf-8") as lines,
        open(src, "w", encoding="utf-8") as english,
        open(trg, "w", encoding="utf-8") as french,
    ):
        for line in itertools.islice(lines, pairs):
            fr, _, en = line.rstrip("\n").partition("|||")
            english.write(en.strip() + "\n")
            french.write(fr.strip() + "\n")
    return src, trg


def gold_sets(data, folder):
    """(name, source file, target file, gold file, pairs scored) of each set."""
    gold = data / "wpt03_en-fr" / "test.wa.nonullalign"
    yield ("Hansards en-fr (10,447 pairs)", *hansards(data, folder), gold, 447)
    yield ("Hansards en-fr (first 1,000)", *hansards(data, folder, 1000), gold, 447)
    deen, entr = data / "deen_eurogold2", data / "entr_lrec2012"
    yield (
        "Europarl de-en (150 pairs)",
        deen / "test.de",
        deen / "test.en",
        deen / "gold.de-en.wa",
        150,
    )
    yield "en-tr (300 pairs)", entr / "train.en", entr / "train.tr", entr / "gold.en-tr.wa", 300


def runs(seeds, thresholds):
    """(label, zel-align settings) of each run of a set."""
    for seed in seeds:
        note = f", seed {seed}" if len(seeds) > 1 else ""
        yield f"fertility, posterior (default){note}", {"model": "fertility", "seed": seed}
        for t in thresholds:
            yield (
                f"fertility, posterior {t}{note}",
                {"model": "fertility", "seed": seed, "posterior_threshold": t},
            )
        yield (
            f"fertility, viterbi{note}",
            {"model": "fertility", "seed": seed, "decoding": "viterbi"},
        )
    yield "hmm, posterior", {"model": "hmm"}
    for t in thresholds:
        yield f"hmm, posterior {t}", {"model": "hmm", "posterior_threshold": t}
    yield "hmm, viterbi", {"model": "hmm", "decoding": "viterbi"}
    yield "ibm2, grow-diag-final-and", {"model": "ibm2"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--seeds", default="1", help="seeds of the sampled model, comma-separated")
    parser.add_argument("--thresholds", default="", help="more posterior thresholds")
    args = parser.parse_args()
    seeds = [int(s) for s in args.seeds.split(",")]
    thresholds = [float(t) for t in args.thresholds.split(",") if t]
    print("| gold set | model, links | AER | precision | recall | wall [s] |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for name, src, trg, gold, first in gold_sets(args.data, folder):
            for label, settings in runs(seeds, thresholds):
                conf = {"src_path": src, "trg_path": trg, "outdir": folder / "out"}
                start = time.perf_counter()
                paths = bidirectional.align_both(conf, quiet=True, **settings)
                wall = time.perf_counter() - start
                s = evaluate.evaluate(paths["final"], gold, first=first)
                print(
                    f"| {name} | {label} | {s.aer:.3f} | {s.precision:.3f} | {s.recall:.3f} "
                    f"| {wall:.1f} |",
                    flush=True,
                )


if __name__ == "__main__":
    main()
