"""The default road's alignment error rate on each gold set at hand, at several posterior
thresholds and with the symmetrised Viterbi links: what README's table of aligners shows and
what chose the default threshold.

    python bench/gold_sets_aer.py [--data ../shared/data] [--thresholds 0.5,0.3,0.2,0.15]

Hansards en-fr (English source, trained on the 10,447 pairs, scored on the first 447),
Europarl de-en (its 150 pairs) and en-tr (its 300 pairs), each trained with zel-align's
defaults (the HMM by agreement, 5 + 5 iterations).
"""

import argparse
import tempfile
from pathlib import Path

from zel.smt.align import evaluate, hmm

DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data"


def gold_sets(data, folder):
    """(name, source file, target file, gold file, pairs scored) of each set."""
    hansards = data / "wpt03_en-fr"
    src, trg = folder / "hansards.en", folder / "hansards.fr"
    with (
        open(hansards / "hansards_10k.fr-en", encoding="utf-8") as pairs,
        open(src, "w", encoding="utf-8") as english,
        open(trg, "w", encoding="utf-8") as french,
    ):
        for line in pairs:
            fr, _, en = line.rstrip("\n").partition("|||")
            english.write(en.strip() + "\n")
            french.write(fr.strip() + "\n")
    yield "Hansards en-fr", src, trg, hansards / "test.wa.nonullalign", 447
    deen, entr = data / "deen_eurogold2", data / "entr_lrec2012"
    yield "Europarl de-en", deen / "test.de", deen / "test.en", deen / "gold.de-en.wa", 150
    yield "en-tr", entr / "train.en", entr / "train.tr", entr / "gold.en-tr.wa", 300


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--thresholds", default="0.5,0.3,0.2,0.15")
    args = parser.parse_args()
    thresholds = [float(t) for t in args.thresholds.split(",")]
    columns = [f"posterior >= {t}" for t in thresholds] + ["grow-diag-final-and"]
    print(f"{'gold set':<16}" + "".join(f"{c:>22}" for c in columns))
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        for name, src, trg, gold, first in gold_sets(args.data, folder):
            aligner = hmm.HmmAligner(src, trg)
            aligner.train()
            rates = []
            for t in thresholds:
                aligner.save_posterior_links(folder / "links", t)
                rates.append(evaluate.evaluate(folder / "links", gold, first=first).aer)
            aligner.save_symmetrized_links(folder / "links", "grow-diag-final-and")
            rates.append(evaluate.evaluate(folder / "links", gold, first=first).aer)
            print(f"{name:<16}" + "".join(f"{r:>22.4f}" for r in rates), flush=True)


if __name__ == "__main__":
    main()
