"""Both directions: zel-align --model ibm2 against two zel-train runs one after the other.

    python bench/align_both.py [--corpus enja_small|hansards|100k] [--iterations N] [--repeat N]

Prints the wall time of each (the best of --repeat runs), with the decoded links of each
direction and the symmetrised links written, and the usable cores.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from em_iterations import corpus_files

from zel.common import threads

BIN = Path(sys.executable).parent


def timed(command):
    start = time.perf_counter()
    subprocess.run([str(part) for part in command], check=True, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--corpus", choices=["enja_small", "hansards", "100k"], default="enja_small"
    )
    parser.add_argument("--iterations", type=int, default=5)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        src, trg = corpus_files(args.corpus, out)
        settings = ["-I", args.iterations, "-q"]

        def two_runs():
            total = 0.0
            for name, (s, t) in (("st", (src, trg)), ("ts", (trg, src))):
                files = [out / f"{name}.trans", out / f"{name}.align", "-d", out / f"{name}.dec"]
                total += timed([BIN / "zel-train", s, t, *files, *settings])
            return total

        both = min(
            timed([BIN / "zel-align", src, trg, out / "both", "--model", "ibm2", *settings])
            for _ in range(args.repeat)
        )
        train = min(two_runs() for _ in range(args.repeat))
    print(
        f"corpus {args.corpus}, {args.iterations} + {args.iterations} iterations, "
        f"{threads.get_threads() or threads.usable_cores()} threads"
    )
    print(f"{'zel-align --model ibm2 (links symmetrised)':50} {both:7.2f} s")
    print(f"{'zel-train twice, one after the other':50} {train:7.2f} s")


if __name__ == "__main__":
    main()
