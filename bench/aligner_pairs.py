"""The in-memory Aligner on a trained model: the time of one pair through align(), split into
the native call and the Python around it, and a batch of every pair of the corpus.

    python bench/aligner_pairs.py [--src data/toy/train.src --trg data/toy/train.trg]
"""

import argparse
import resource
import time
from pathlib import Path

from zel.smt.align import Aligner

ROOT = Path(__file__).resolve().parents[1]


def seconds_per_call(call, count):
    start = time.perf_counter()
    for k in range(count):
        call(k)
    return (time.perf_counter() - start) / count


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--src", default=ROOT / "data" / "toy" / "train.src")
    parser.add_argument("--trg", default=ROOT / "data" / "toy" / "train.trg")
    parser.add_argument("--pairs", type=int, default=500, help="pairs aligned one at a time")
    args = parser.parse_args()
    src = Path(args.src).read_text(encoding="utf-8").splitlines()
    trg = Path(args.trg).read_text(encoding="utf-8").splitlines()
    aligner = Aligner(quiet=True)
    aligner.fit(src, trg)
    native = aligner._require_pairs()
    count = min(args.pairs, len(src))

    def native_call(k):
        native.align(src[k] + "\n", trg[k] + "\n", threshold=0.2, heuristic="grow-diag-final-and")

    cpu = time.process_time()
    inner = seconds_per_call(native_call, count)
    outer = seconds_per_call(lambda k: aligner.align(src[k], trg[k]), count)
    start = time.perf_counter()
    aligner.align_batch(src, trg)
    batch = time.perf_counter() - start
    print(f"one pair: {outer * 1e3:.3f} ms, of which Python {(outer - inner) * 1e3:.3f} ms")
    print(f"batch of {len(src):,} pairs: {batch:.2f} s wall")
    print(f"CPU {time.process_time() - cpu:.2f} s (both measures)")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak resident {peak:.0f} MB")


if __name__ == "__main__":
    main()
