"""Alignment error rate of decoded alignments against gold links with sure and possible links.

    python scripts/aer.py DECODED GOLD [--first N]

DECODED is a decoded-alignment file as training writes it: one line a sentence pair, tokens
"j-i" with j the 1-based target position and i the source position (0 = NULL, not a link).
GOLD has lines "sentence source_position target_position S|P" (1-based; "P" lines add possible
links, sure links count as possible too), as the WPT-03 shared task distributes them.
AER = 1 - (|A & S| + |A & P|) / (|A| + |S|).
"""

import argparse
import sys
from collections import defaultdict


def read_decoded(path, first=None):
    links = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f):
            if first is not None and number >= first:
                break
            pairs = set()
            for token in line.split():
                j, i = token.split("-")
                if int(i) > 0:
                    pairs.add((int(i), int(j)))
            links.append(pairs)
    return links


def read_gold(path):
    sure, possible = defaultdict(set), defaultdict(set)
    sentence_ids = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.split()
            if len(fields) < 3:
                continue
            sentence = sentence_ids.setdefault(fields[0], len(sentence_ids))
            link = (int(fields[1]), int(fields[2]))
            kind = fields[3] if len(fields) > 3 else "S"
            if link[0] == 0 or link[1] == 0:
                continue
            possible[sentence].add(link)
            if kind == "S":
                sure[sentence].add(link)
    return sure, possible


def aer(decoded, sure, possible):
    """Returns (AER, precision, recall, number of links) over the decoded sentences."""
    a_total = s_total = a_and_s = a_and_p = 0
    for k, links in enumerate(decoded):
        a_total += len(links)
        s_total += len(sure[k])
        a_and_s += len(links & sure[k])
        a_and_p += len(links & possible[k])
    error = 1.0 - (a_and_s + a_and_p) / (a_total + s_total)
    precision = a_and_p / a_total if a_total else 0.0
    recall = a_and_s / s_total if s_total else 0.0
    return error, precision, recall, a_total


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("decoded")
    parser.add_argument("gold")
    parser.add_argument("--first", type=int, default=None, help="score only the first N pairs")
    args = parser.parse_args()
    sure, possible = read_gold(args.gold)
    error, precision, recall, links = aer(read_decoded(args.decoded, args.first), sure, possible)
    print(f"AER {error:.4f}  precision {precision:.4f}  recall {recall:.4f}  links {links}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
