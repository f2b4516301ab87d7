"""Rule records: parsing and printing table lines natively against a plain-Python class.

Generates Moses phrase-table lines and Travatar rule lines, builds MosesRecord and
TravatarRecord objects from them and prints them back with to_str, and does the same steps
with a plain-Python class in the same run. Prints lines per second.

    python bench/records.py [--lines N]
"""

import argparse
import math
import random
import sys
import time

from zel.smt.trans_models.records import MosesRecord, TravatarRecord

from zel.common import numbers


def moses_lines(n, rng):
    words = [f"w{i}" for i in range(5000)]
    out = []
    for _ in range(n):
        ls, lt = rng.randint(1, 5), rng.randint(1, 5)
        src = " ".join(rng.choices(words, k=ls))
        trg = " ".join(rng.choices(words, k=lt))
        scores = " ".join(f"{rng.random():.6g}" for _ in range(4))
        points = " ".join(
            f"{rng.randrange(ls)}-{rng.randrange(lt)}" for _ in range(rng.randint(1, 4))
        )
        counts = f"{rng.randint(1, 99)} {rng.randint(1, 99)} {rng.randint(1, 9)}"
        out.append(f"{src} ||| {trg} ||| {scores} ||| {points} ||| {counts}")
    return out


def travatar_lines(n, rng):
    words = [f"w{i}" for i in range(5000)]
    out = []
    for _ in range(n):
        src = f'NP ( x0:NN "{rng.choice(words)}" x1:NP )'
        trg = f'x1 "{rng.choice(words)}" x0'
        feats = f"egfp={-rng.random():.6g} egfl={-rng.random():.6g} p=1 w=1"
        out.append(f"{src} ||| {trg} ||| {feats} ||| 3 2 1 ||| 0-0 1-1")
    return out


class PlainMoses:
    """The same steps in plain Python."""

    def __init__(self, line):
        fields = line.strip().split("|||")
        self.src = sys.intern(fields[0].strip())
        self.trg = sys.intern(fields[1].strip())
        scores = [self.number(x) for x in fields[2].split()]
        self.features = {"fgep": scores[0], "fgel": scores[1], "egfp": scores[2], "egfl": scores[3]}
        self.aligns = set(fields[3].strip().split())
        c = [numbers.toNumber(x) for x in fields[4].split()]
        self.counts = [float(c[1]), float(c[0]), float(c[2])]

    @staticmethod
    def number(text):
        x = float(text)
        n = round(x)
        return n if n == x else x

    def to_str(self, s=" ||| "):
        f = self.features
        feats = " ".join(str(f.get(k, 0)) for k in ("fgep", "fgel", "egfp", "egfl"))
        self.counts = [round(v, 6) for v in self.counts]
        counts = f"{self.counts[1]} {self.counts[0]} {self.counts[2]}"
        return s.join([self.src, self.trg, feats, " ".join(sorted(self.aligns)), counts])


class PlainTravatar:
    def __init__(self, line):
        fields = line.strip().split("|||")
        self.src, self.trg = fields[0].strip(), fields[1].strip()
        self.features = {}
        for item in fields[2].split():
            key, value = item.split("=")
            value = PlainMoses.number(value)
            self.features[key] = math.e**value if len(key) >= 4 else value
        c = [numbers.toNumber(x) for x in fields[3].split()]
        self.counts = [float(c[1]), float(c[2]), float(c[0])] if len(c) == 3 else [0.0] * 3
        self.aligns = set(fields[4].strip().split())

    def to_str(self, s=" ||| "):
        items = []
        for key, value in self.features.items():
            if "egf" in key or "fge" in key:
                value = round(math.log(value), 6)
            items.append(f"{key}={value}")
        self.counts = [round(v, 6) for v in self.counts]
        counts = f"{self.counts[2]} {self.counts[0]} {self.counts[1]}" if self.counts[2] > 0 else ""
        return s.join(
            [self.src, self.trg, " ".join(sorted(items)), counts, " ".join(sorted(self.aligns))]
        )


def time_both(cls, lines):
    """Seconds to build a record of every line, then to print every record back."""
    start = time.perf_counter()
    built = [cls(line) for line in lines]
    middle = time.perf_counter()
    for record in built:
        record.to_str()
    return middle - start, time.perf_counter() - middle


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
