"""The alignment error rates of README.md's Hansards tables, from the files in the data folder.

    python bench/hansards_aer.py [--data ../shared/data/wpt03_en-fr] [--iterations N]
                                 [--model hmm|ibm2]

Splits `hansards_10k.fr-en` (French ||| English, one pair a line) into an English source and
a French target, trains on all 10,447 pairs, and scores links of the first 447 pairs against
the WPT-03 gold links (test.wa.nonullalign, English first, as the source).

ibm2: runs zel-align --model ibm2 and scores each direction and each heuristic's links.
hmm: trains the HMM model four ways (EM or agreement, with no prior or a Dirichlet prior of
0.1) and scores each direction's Viterbi links, their intersection and grow-diag-final-and,
and posterior decoding at several thresholds, with the seconds each training took.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from zel.common import logging as zlogging
from zel.smt.align import evaluate, hmm, symmetrize

BIN = Path(sys.executable).parent
DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "wpt03_en-fr"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--iterations", "-I", type=int, default=5)
    parser.add_argument("--model", choices=["hmm", "ibm2"], default="hmm")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        english, french = folder / "c.en", folder / "c.fr"
        with (
            open(args.data / "hansards_10k.fr-en", encoding="utf-8") as pairs,
            open(english, "w", encoding="utf-8") as en,
            open(french, "w", encoding="utf-8") as fr,
        ):
            for line in pairs:
                f, e = line.rstrip("\n").split(" ||| ")
                en.write(e + "\n")
                fr.write(f + "\n")
        gold = args.data / "test.wa.nonullalign"
        if args.model == "hmm":
            return hmm_table(english, french, gold, folder, args.iterations)
        out = folder / "out"
        subprocess.run(
            [
                BIN / "zel-align",
                english,
                french,
                out,
                "-I",
                str(args.iterations),
                "-q",
                "--model",
                "ibm2",
            ],
            check=True,
        )
        rows = [("English to French", out / "src-trg.links.txt")]
        rows.append(("French to English", out / "trg-src.links.txt"))
        for heuristic in symmetrize.HEURISTICS:
            path = folder / f"{heuristic}.txt"
            with zlogging.using_config([symmetrize.__name__], quiet=True):
                symmetrize.symmetrize(
                    out / "src-trg.decoded.txt", out / "trg-src.decoded.txt", path, heuristic
                )
            rows.append((heuristic, path))
        print("| links | AER | precision | recall | links |")
        print("|---|---|---|---|---|")
        for name, path in rows:
            s = evaluate.evaluate(path, gold, first=447)
            print(f"| {name} | {s.aer:.4f} | {s.precision:.4f} | {s.recall:.4f} | {s.links:,} |")


def hmm_table(english, french, gold, folder, iterations):
    print("| training | links | AER | precision | recall |")
    print("|---|---|---|---|---|")
    with zlogging.using_config([hmm.__name__], quiet=True):
        for agreement in (False, True):
            for prior in (0.0, 0.1):
                aligner = hmm.HmmAligner(
                    english,
                    french,
                    model1_iterations=iterations,
                    iterations=iterations,
                    agreement=agreement,
                    prior=prior,
                )
                start = time.perf_counter()
                aligner.train()
                name = f"{'agreement' if agreement else 'EM'}, prior {prior}"
                name += f" ({time.perf_counter() - start:.1f} s)"
                rows = []
                for d, direction in enumerate(("English to French", "French to English")):
                    aligner.save_viterbi_links(d, folder / f"v{d}")
                    rows.append((f"{direction} (Viterbi)", folder / f"v{d}"))
                for heuristic in ("intersection", "grow-diag-final-and"):
                    aligner.save_symmetrized_links(folder / heuristic, heuristic)
                    rows.append((heuristic, folder / heuristic))
                for threshold in (0.2, 0.3, 0.5):
                    path = folder / f"p{threshold}"
                    aligner.save_posterior_links(path, threshold)
                    rows.append((f"posterior >= {threshold}", path))
                for links, path in rows:
                    s = evaluate.evaluate(path, gold, first=447)
                    print(
                        f"| {name} | {links} | {s.aer:.4f} | {s.precision:.4f} | {s.recall:.4f} |"
                    )


if __name__ == "__main__":
    main()
