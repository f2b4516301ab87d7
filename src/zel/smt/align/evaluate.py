"""Alignment error rate, precision and recall of word links against gold links.

Orientation: every position pair is read as (source position, target position), the source
being the side given first to training (the SRC of zel-train and zel-align). Predicted links
are "i-j" lines (0-based, one line a pair, as zel-symmetrize and zel-align write them), or,
with ``decoded``, a source-to-target decoded alignment file of training or scoring. Gold links
come in either common form:

- "i-j" lines: one line a pair, 0-based; "i-j" is a sure link, "ipj" or "i?j" a possible one.
- WPT shared-task lines: ``sentence source target [S|P]``, 1-based, one link a line (S when
  the kind is left out); links to position 0 (NULL) are left out.

Sure links are possible links too. With A the predicted, S the sure and P the possible links,
AER = 1 - (|A & S| + |A & P|) / (|A| + |S|), precision = |A & P| / |A|, recall = |A & S| / |S|.

    zel-eval LINKS GOLD [--gold-format auto|links|wpt] [--first N] [--decoded] [--reverse-gold]
"""

import argparse
import math
import os
import re
from typing import NamedTuple

from zel.common import files
from zel.common import logging as zlogging

from . import _links

logger = zlogging.getColorLogger(__name__)

GOLD_FORMATS = ("auto", "links", "wpt")
_GOLD_TOKEN = re.compile(r"(\d+)([-p?])(\d+)")
_LINK_TOKEN = re.compile(r"(\d+)-(\d+)")


class Scores(NamedTuple):
    aer: float
    precision: float
    recall: float
    links: int
    sure: int
    possible: int

    def __str__(self):
        def shown(value):
            return "undefined" if math.isnan(value) else f"{value:.4f}"

        return (
            f"AER {shown(self.aer)}  precision {shown(self.precision)}  "
            f"recall {shown(self.recall)}  "
            f"links {self.links}  sure {self.sure}  possible {self.possible}"
        )


def score(predicted, sure, possible):
    """Scores of link sets, one a pair: `possible` need not repeat the sure links."""
    if not len(predicted) == len(sure) == len(possible):
        raise ValueError("predicted and gold links must cover the same number of pairs")
    a = s = a_and_s = a_and_p = p_total = 0
    for links, sure_links, possible_links in zip(predicted, sure, possible, strict=True):
        possible_links = possible_links | sure_links
        a += len(links)
        s += len(sure_links)
        p_total += len(possible_links)
        a_and_s += len(links & sure_links)
        a_and_p += len(links & possible_links)
    # A ratio over nothing is undefined (NaN, printed "undefined"), not 0.
    return Scores(
        aer=1.0 - (a_and_s + a_and_p) / (a + s) if a + s else math.nan,
        precision=a_and_p / a if a else math.nan,
        recall=a_and_s / s if s else math.nan,
        links=a,
        sure=s,
        possible=p_total,
    )


def _bad(path, number, text, expected):
    return ValueError(f"{os.fspath(path)}, line {number}: {text!r} is not {expected}")


def read_links(path, first=None, decoded=False):
    """Link sets of an "i-j" file (or a decoded file), one a pair: the first `first` pairs."""
    pairs = []
    with files.open(path) as f:
        for number, line in enumerate(f, 1):
            if first is not None and number > first:
                break
            if decoded:
                text = _links.decoded_to_links([line], False, os.fspath(path), number)
                line = text
            links = set()
            for token in line.split():
                match = _LINK_TOKEN.fullmatch(token)
                if not match:
                    raise _bad(path, number, token, 'a link "i-j"')
                links.add((int(match[1]), int(match[2])))
            pairs.append(links)
    return pairs


def _sniff(lines):
    """ "wpt" when the first line with text has 3 or 4 fields and no link token, else "links"."""
    for line in lines:
        fields = line.split()
        if fields:
            plain = all(field.isdigit() for field in fields[:3])
            return "wpt" if len(fields) in (3, 4) and plain else "links"
    return "links"


def read_gold(path, gold_format="auto", reverse=False):
    """(sure, possible) link sets of a gold file, one a pair, 0-based source-target.

    In WPT form the pairs are numbered by the sentence field, so there are as many as its
    largest number (a pair with no gold link has empty sets).
    """
    if gold_format not in GOLD_FORMATS:
        raise ValueError(f"unknown gold format {gold_format!r} (known: {', '.join(GOLD_FORMATS)})")
    with files.open(path) as f:
        lines = f.readlines()  # gold files are small; the form is told by their first line
    if gold_format == "auto":
        gold_format = _sniff(lines)
    sure, possible = [], []
    for number, line in enumerate(lines, 1):
        if gold_format == "links":
            sure.append(set())
            possible.append(set())
            for token in line.split():
                match = _GOLD_TOKEN.fullmatch(token)
                if not match:
                    raise _bad(path, number, token, 'a gold link ("i-j", "ipj" or "i?j")')
                link = (int(match[1]), int(match[3]))
                (sure if match[2] == "-" else possible)[-1].add(link[::-1] if reverse else link)
            continue
        fields = line.split()
        if not fields:
            continue
        if not 3 <= len(fields) <= 4 or not all(f.isdigit() for f in fields[:3]):
            raise _bad(path, number, line.rstrip("\n"), 'a WPT link "sentence i j [S|P]"')
        kind = fields[3] if len(fields) == 4 else "S"
        if kind not in ("S", "P"):
            raise _bad(path, number, kind, 'a link kind "S" or "P"')
        sentence, i, j = (int(field) for field in fields[:3])
        if sentence < 1:
            raise _bad(path, number, fields[0], "a sentence number (1 or more)")
        while len(sure) < sentence:
            sure.append(set())
            possible.append(set())
        if i == 0 or j == 0:
            continue
        link = (j - 1, i - 1) if reverse else (i - 1, j - 1)
        (sure if kind == "S" else possible)[sentence - 1].add(link)
    return sure, possible


def evaluate(
    links_path, gold_path, gold_format="auto", first=None, decoded=False, reverse_gold=False
):
    """Scores of the links in `links_path` against `gold_path` (see the module's text).

    `first` scores only the first `first` pairs of both files. The links file and the gold
    file must then cover the same number of pairs, else a ValueError says both counts.
    """
    predicted = read_links(links_path, first, decoded)
    sure, possible = read_gold(gold_path, gold_format, reverse_gold)
    if first is not None:
        sure, possible = sure[:first], possible[:first]
    if len(predicted) != len(sure):
        hint = (
            f" (--first {len(sure)} scores its first pairs only)"
            if len(predicted) > len(sure)
            else ""
        )
        raise ValueError(
            f"{os.fspath(links_path)} has {len(predicted)} pairs, {os.fspath(gold_path)} has "
            f"{len(sure)}{hint}"
        )
    return score(predicted, sure, possible)


def create_parser():
    parser = argparse.ArgumentParser(
        prog="zel-eval",
        description="Alignment error rate, precision and recall of word links against gold "
        "links. Positions are read as (source, target): the first position of a link, in the "
        "links and in the gold file, is on the side given first to training.",
    )
    parser.add_argument("links", help='file of predicted "i-j" links (0-based), a line a pair')
    parser.add_argument(
        "gold", help='gold links: "i-j"/"ipj"/"i?j" lines, or WPT lines "sentence i j S|P"'
    )
    parser.add_argument(
        "--gold-format",
        choices=GOLD_FORMATS,
        default="auto",
        help="form of the gold file; auto tells them by the first line (default: %(default)s)",
    )
    parser.add_argument(
        "--first", type=int, default=None, help="score only the first N pairs of both files"
    )
    parser.add_argument(
        "--decoded",
        action="store_true",
        help="LINKS is a source-to-target decoded alignment file (J-I tokens, 1-based targets)",
    )
    parser.add_argument(
        "--reverse-gold",
        action="store_true",
        help="the gold file gives the target position first",
    )
    return parser


def main(argv=None):
    args = create_parser().parse_args(argv)
    try:
        scores = evaluate(
            args.links, args.gold, args.gold_format, args.first, args.decoded, args.reverse_gold
        )
    except (OSError, ValueError) as e:
        logger.error("%s", zlogging.error_text(e))
        return 1
    print(scores)
    return 0
