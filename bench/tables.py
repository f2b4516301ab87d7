"""Rule-table index: loading a whole table and searching it, saving the index and opening it again.

Writes a generated Moses phrase table (1,000,000 lines by default) and a Travatar rule table
(300,000 lines, indexed by source symbols and with target keys), indexes each, and prints the
seconds of each loading pass, lines per second, memory against the file's size and the mean
time of a search hit for find_src, find_trg and find with a two-field prefix; then the seconds
to save the index, to open the saved file, the memory opening makes resident, and the searches
of the opened index (the first searches of each trie read its pages and check it).

    python bench/tables.py [--moses N] [--travatar N] [--searches N]
"""

import argparse
import multiprocessing
import os
import pickle
import random
import sys
import tempfile
import time

from rule_lines import moses_lines, travatar_lines

from zel.common import progress
from zel.smt.trans_models import tables


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak():
    """Starts the peak resident size (VmHWM) afresh from the current one."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


class PassClock:
    """Times the loading passes by the progress displays the index opens for them: a pass runs
    from its display's start to the next one's (so the trie built at its end is in it)."""

    def __init__(self):
        self.starts = {}
        self._reader, self._bar = progress.FileReader, progress.Bar
        starts = self.starts

        class Reader(self._reader):
            def __init__(self, path, label):
                starts.setdefault(label, time.perf_counter())
                super().__init__(path, label)

        class Bar(self._bar):
            def __init__(self, label, total, unit=""):
                if unit != "B":  # the file readers' own bars do not count
                    starts.setdefault(label, time.perf_counter())
                super().__init__(label, total, unit)

        self.reader, self.bar = Reader, Bar

    def __enter__(self):
        progress.FileReader, progress.Bar = self.reader, self.bar
        return self

    def __exit__(self, *exc):
        self.end = time.perf_counter()
        progress.FileReader, progress.Bar = self._reader, self._bar

    def seconds(self):
        labels = sorted(self.starts, key=self.starts.get)
        ends = [self.starts[k] for k in labels[1:]] + [self.end]
        return {k: end - self.starts[k] for k, end in zip(labels, ends, strict=True)}


def mean_hit_us(search, queries):
    """Mean microseconds per returned record, and the number of records."""
    hits = 0
    start = time.perf_counter()
    for q in queries:
        for _ in search(q):
            hits += 1
    return (time.perf_counter() - start) / max(hits, 1) * 1e6, hits


def measure(name, class_name, path, options, searches, seed):
    """Loads and searches one table; runs in a fresh process, so memory figures are its own."""
    cls = getattr(tables, class_name)
    size = os.path.getsize(path)
    reset_peak()
    before = status_bytes("VmRSS")
    with PassClock() as clock:
        start = time.perf_counter()
        table = cls(path, **options)
        seconds = time.perf_counter() - start
    peak = status_bytes("VmHWM") - before
    held = status_bytes("VmRSS") - before
    with open(path, encoding="utf-8") as f:
        parts = [line.rstrip("\n").split(" ||| ") for line in f]
    index = sys.getsizeof(table)
    stored = len(pickle.dumps(table, protocol=pickle.HIGHEST_PROTOCOL))

    print(f"{name}: {len(parts):,} lines, {size / 1e6:.1f} MB file, {len(table):,} records")
    for label, s in clock.seconds().items():
        print(f"  {label:36s} {s:6.2f} s")
    print(f"  whole load {seconds:.2f} s: {len(parts) / seconds:,.0f} lines/s")
    print(
        f"  index {index / 1e6:.1f} MB ({index / size:.2f} x file); resident memory: "
        f"{held / 1e6:.1f} MB more after loading ({held / size:.2f} x file), "
        f"{peak / 1e6:.1f} MB more at the peak ({peak / size:.2f} x file); "
        f"pickled {stored / 1e6:.1f} MB"
    )
    rng = random.Random(seed)
    picks = [rng.choice(parts) for _ in range(searches)]
    queries = [
        ("find_src", [p[0] for p in picks]),
        ("find_trg", [p[1] for p in picks]),
        ("find (2 fields)", [f"{p[0]} ||| {p[1]}" for p in picks]),
    ]
    search_times(table, queries)

    saved = path + ".index"
    start = time.perf_counter()
    table.save(saved)
    save_seconds = time.perf_counter() - start
    del table
    before = status_bytes("VmRSS")
    start = time.perf_counter()
    opened = cls.open(saved)
    open_seconds = time.perf_counter() - start
    mapped = status_bytes("VmRSS") - before
    saved_size = os.path.getsize(saved)
    print(
        f"  saved index {saved_size / 1e6:.1f} MB: save {save_seconds:.2f} s, open "
        f"{open_seconds * 1e3:.1f} ms, resident after opening {mapped / 1e6:.2f} MB "
        f"({mapped / saved_size:.1%} of the index); searches of the opened index:"
    )
    search_times(opened, queries)


def search_times(table, queries):
    methods = {
        "find_src": table.find_src,
        "find_trg": table.find_trg,
        "find (2 fields)": table.find,
    }
    for label, texts in queries:
        us, hits = mean_hit_us(methods[label], texts)
        print(f"  {label:16s} {us:6.2f} us per hit ({hits:,} hits, {len(texts):,} searches)")


def run(name, class_name, lines, options, searches):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "table.txt")
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")
        child = multiprocessing.get_context("spawn").Process(
            target=measure, args=(name, class_name, path, options, searches, 11)
        )
        child.start()
        child.join()
        if child.exitcode != 0:
            raise SystemExit(f"{name}: the measuring process failed ({child.exitcode})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--moses", type=int, default=1_000_000)
    parser.add_argument("--travatar", type=int, default=300_000)
    parser.add_argument("--searches", type=int, default=2_000)
    args = parser.parse_args()
    rng = random.Random(7)
    run("Moses", "MosesTable", moses_lines(args.moses, rng), {"trg_key": True}, args.searches)
    run(
        "Travatar (src_symbols, target keys)",
        "TravatarTable",
        travatar_lines(args.travatar, rng, columns=True),
        {"key_type": "src_symbols", "trg_key": True},
        args.searches,
    )


if __name__ == "__main__":
    main()
