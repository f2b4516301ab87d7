"""Rule records: parsing and printing table lines natively against a plain-Python class.

Generates Moses phrase-table lines (each source phrase with about 20 translations listed
together, as in real tables) and Travatar rule lines, builds MosesRecord and
TravatarRecord objects from them and prints them back with to_str, and does the same steps
with a plain-Python class in the same run. Prints lines per second.

    python bench/records.py [--lines N]
"""

import argparse
import gc
import math
import random
import sys
import time

from rule_lines import moses_lines, travatar_lines
from zel.smt.trans_models.records import MosesRecord, TravatarRecord

from zel.common import numbers


class PlainCounts:
    """Three counts with the record's operations, in plain Python."""

    def __init__(self, src=0.0, trg=0.0, cooc=0.0):
        self.src, self.trg, self.cooc = float(src), float(trg), float(cooc)

    def setCounts(self, src=None, trg=None, cooc=None):
        if src:
            self.src = float(src)
        if trg:
            self.trg = float(trg)
        if cooc:
            self.cooc = float(cooc)

    def round(self, digits=6):
        self.src, self.trg, self.cooc = (round(v, digits) for v in (self.src, self.trg, self.cooc))


def get_number(text, margin=0):
    x = float(text)
    n = round(x)
    if margin > 0:
        return n if abs(n - x) < margin else x
    return n if n == x else x


def get_align_set(field):
    return set(field.strip().split())


def get_counts(field):
    return [numbers.toNumber(x) for x in field.split()]


def get_moses_features(field):
    scores = [get_number(x) for x in field.split()]
    return {"fgep": scores[0], "fgel": scores[1], "egfp": scores[2], "egfl": scores[3]}


def get_str_moses_features(features):
    return " ".join(str(features.get(k, 0)) for k in ("fgep", "fgel", "egfp", "egfl"))


class PlainRecord:
    def __init__(self, line="", delim="|||"):
        self.src, self.trg, self.features = "", "", {}
        self.counts, self.aligns, self.data = PlainCounts(), set(), None
        self.delim = delim
        self.loadLine(line, delim)


class PlainMoses(PlainRecord):
    """The steps of MosesRecord in plain Python."""

    def loadLine(self, line, delim="|||"):
        if not line:
            return
        fields = line.strip().split(delim)
        self.src = sys.intern(fields[0].strip())
        self.trg = sys.intern(fields[1].strip())
        self.features = get_moses_features(fields[2])
        self.aligns = get_align_set(fields[3])
        c = get_counts(fields[4])
        self.counts.setCounts(trg=c[0], src=c[1], cooc=c[2])

    def to_str(self, s=" ||| "):
        features = get_str_moses_features(self.features)
        aligns = " ".join(sorted(self.aligns))
        self.counts.round()
        counts = f"{self.counts.trg} {self.counts.src} {self.counts.cooc}"
        return s.join([self.src, self.trg, features, aligns, counts])


def get_travatar_features(field):
    features = {}
    for item in field.split():
        key, value = item.split("=")
        value = get_number(value)
        features[key] = math.e**value if len(key) >= 4 else value
    return features


def get_str_travatar_features(features):
    items = []
    for key, value in features.items():
        if "egf" in key or "fge" in key:
            value = round(math.log(value), 6)
        items.append(f"{key}={value}")
    return " ".join(sorted(items))


class PlainTravatar(PlainRecord):
    """The steps of TravatarRecord in plain Python."""

    def loadLine(self, line, delim="|||"):
        if not line:
            return
        fields = line.strip().split(delim)
        self.src, self.trg = fields[0].strip(), fields[1].strip()
        self.features = get_travatar_features(fields[2])
        c = get_counts(fields[3])
        if len(c) == 3:
            self.counts.setCounts(src=c[1], trg=c[2], cooc=c[0])
        self.aligns = get_align_set(fields[4])

    def to_str(self, s=" ||| "):
        features = get_str_travatar_features(self.features)
        self.counts.round()
        c = self.counts
        counts = f"{round(c.cooc, 6)} {round(c.src, 6)} {round(c.trg, 6)}" if c.cooc > 0 else ""
        return s.join([self.src, self.trg, features, counts, " ".join(sorted(self.aligns))])


def time_both(cls, lines, repeats=3):
    """Best seconds of `repeats` runs to build a record of every line, and to print them back."""
    best_build = best_print = float("inf")
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        built = [cls(line) for line in lines]
        middle = time.perf_counter()
        for record in built:
            record.to_str()
        end = time.perf_counter()
        best_build, best_print = min(best_build, middle - start), min(best_print, end - middle)
        del built
    return best_build, best_print


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lines", type=int, default=1_000_000)
    args = parser.parse_args()
    rng = random.Random(5)
    print(f"{args.lines:,d} generated lines of each format; lines per second (speed-up)")
    print("| format | step | zel | plain Python | speed-up |")
    print("|---|---|---|---|---|")
    for name, lines, ours, plain in (
        ("Moses", moses_lines(args.lines, rng), MosesRecord, PlainMoses),
        ("Travatar", travatar_lines(args.lines, rng), TravatarRecord, PlainTravatar),
    ):
        t_load, t_print = time_both(ours, lines)
        p_load, p_print = time_both(plain, lines)
        for step, a, b in (("build", t_load, p_load), ("to_str", t_print, p_print)):
            n = len(lines)
            print(f"| {name} | {step} | {n / a:,.0f} | {n / b:,.0f} | {b / a:.1f}x |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
