"""The alignment error rates of README.md's Hansards table, from the files in the data folder.

    python bench/hansards_aer.py [--data ../shared/data/wpt03_en-fr] [--iterations N]

Splits `hansards_10k.fr-en` (French ||| English, one pair a line) into an English source and
a French target, runs zel-align on all 10,447 pairs, and scores each direction and each
heuristic's links on the first 447 pairs against the WPT-03 gold links (test.wa.nonullalign,
English first, as the source).
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

from zel.common import logging as zlogging
from zel.smt.align import evaluate, symmetrize

BIN = Path(sys.executable).parent
DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data" / "wpt03_en-fr"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=DATA)
    parser.add_argument("--iterations", "-I", type=int, default=5)
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
        out = folder / "out"
        subprocess.run(
            [BIN / "zel-align", english, french, out, "-I", str(args.iterations), "-q"],
            check=True,
        )
        gold = args.data / "test.wa.nonullalign"
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


if __name__ == "__main__":
    main()
