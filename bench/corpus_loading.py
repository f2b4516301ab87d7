"""Corpus loading: the native loader against a plain-Python loop over the same files.

Generates a parallel corpus (default 200,000 pairs, about 10 million tokens), loads it with
emalign's native loader and with a Python loop doing the same splitting and dictionary
lookups, and prints seconds, tokens per second and the native corpus's bytes per token.

    python bench/corpus_loading.py [--pairs N] [--workdir DIR]
"""

import argparse
import ctypes
import random
import resource
import sys
import tempfile
import time
from pathlib import Path

from zel.common import files
from zel.smt.align import emalign


def native_entry(name):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    kind = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_ssize_t)
    function = kind(get_pointer(emalign.__capi__[name], f"zel.smt.align.emalign.{name}".encode()))
    return lambda *args: function((ctypes.py_object * len(args))(*args), len(args))


def generate(path_src, path_trg, pairs, seed):
    rng = random.Random(seed)
    src_vocab = [f"s{i}" for i in range(50_000)]
    trg_vocab = [f"t{i}" for i in range(50_000)]
    # Zipf-like word choice, as in natural text: a few words are frequent, most are rare.
    weights = [1.0 / (rank + 1) for rank in range(50_000)]
    with files.open(path_src, "wt") as fs, files.open(path_trg, "wt") as ft:
        for _ in range(pairs):
            ns, nt = rng.randint(1, 49), rng.randint(1, 49)
            fs.write(" ".join(rng.choices(src_vocab, weights, k=ns)) + "\n")
            ft.write(" ".join(rng.choices(trg_vocab, weights, k=nt)) + "\n")


def python_loop(path_src, path_trg):
    src_ids, trg_ids = {"__NULL__": 0}, {}
    pairs = []
    with files.open(path_src) as fs, files.open(path_trg) as ft:
        for src_line, trg_line in zip(fs, ft, strict=False):
            src = [0] + [
                src_ids.setdefault(w, len(src_ids)) for w in src_line.strip("\r\n").split(" ")
            ]
            trg = [trg_ids.setdefault(w, len(trg_ids)) for w in trg_line.strip("\r\n").split(" ")]
            pairs.append((src, trg))
    return pairs


def max_rss_bytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", type=int, default=200_000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--workdir", type=Path, default=None)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(dir=args.workdir) as tmp:
        src, trg = Path(tmp) / "corpus.src", Path(tmp) / "corpus.trg"
        generate(src, trg, args.pairs, args.seed)
        size = src.stat().st_size + trg.stat().st_size

        load_summary = native_entry("load_corpus_summary")
        rss_before = max_rss_bytes()
        start = time.perf_counter()
        summary = load_summary(emalign.Vocab(), str(src), str(trg), False)
        native_seconds = time.perf_counter() - start
        peak_growth = max_rss_bytes() - rss_before

        start = time.perf_counter()
        pairs = python_loop(src, trg)
        python_seconds = time.perf_counter() - start
        assert len(pairs) == summary["pairs"]

    tokens = summary["src_tokens"] + summary["trg_tokens"]
    print(
        f"corpus: {summary['pairs']:,d} pairs, {tokens:,d} tokens (NULL words included), "
        f"{size / 1e6:.1f} MB, vocabularies {summary['src_words']:,d} / {summary['trg_words']:,d}"
    )
    print("| loader | seconds | tokens/s |")
    print("|---|---|---|")
    print(f"| native | {native_seconds:.3f} | {tokens / native_seconds / 1e6:.1f} M |")
    print(f"| plain Python loop | {python_seconds:.3f} | {tokens / python_seconds / 1e6:.1f} M |")
    print(f"speed-up: {python_seconds / native_seconds:.1f}x")
    print(
        f"native corpus: {summary['corpus_bytes'] / tokens:.2f} bytes/token "
        f"({summary['corpus_bytes'] / 1e6:.1f} MB); "
        f"vocabularies {summary['vocab_bytes'] / 1e6:.1f} MB; "
        f"peak RSS growth while loading {peak_growth / 1e6:.1f} MB "
        f"({peak_growth / tokens:.2f} bytes/token)"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
