"""Pictures of word links: a grid a sentence pair, in the terminal or as SVG / HTML.

Source words run down the side and target words along the top (written downwards). With gold
links the predicted ones are told apart by whether they are sure, possible or wrong, and the
gold links missed are shown too:

    ██ predicted (and sure, with gold)   ▓▓ predicted, possible   ▒▒ predicted, not in gold
    [] sure, missed                      :  possible, missed

On a terminal the marks are coloured as well; the SVG and HTML pictures draw gold links as
cell outlines and predicted links as filled squares.

    zel-show SRC TRG LINKS [--pairs 1,4-6] [--gold GOLD] [--output FILE.svg|FILE.html]
"""

import argparse
import html
import os
import sys
import unicodedata

from zel.common import files
from zel.common import logging as zlogging

from . import evaluate

logger = zlogging.getColorLogger(__name__)

_MARKS = {
    "predicted": ("██", "\033[32m"),
    "sure": ("██", "\033[32m"),
    "possible": ("▓▓", "\033[33m"),
    "wrong": ("▒▒", "\033[31m"),
    "missed sure": ("[]", "\033[34m"),
    "missed possible": (": ", "\033[2m"),
    "empty": ("· ", "\033[2m"),
}
_RESET = "\033[0m"
_LEGEND_GOLD = ("sure", "possible", "wrong", "missed sure", "missed possible")
# Longest word shown in full; longer ones end in "…".
_WORD_WIDTH = 16


def words(line, character=False):
    """The words of a corpus line as training numbers them (split at each space, or chars)."""
    line = line.strip("\r\n")
    return list(line) if character else line.split(" ")


def _kind(link, predicted, sure, possible, with_gold):
    hit = link in predicted
    if not with_gold:
        return "predicted" if hit else "empty"
    if link in sure:
        return "sure" if hit else "missed sure"
    if link in possible:
        return "possible" if hit else "missed possible"
    return "wrong" if hit else "empty"


def _gold(sure, possible):
    """Whether gold links are given, the sure ones, and the possible ones that are not sure."""
    with_gold = sure is not None or possible is not None
    return with_gold, sure or set(), (possible or set()) - (sure or set())


def _width(text):
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def _clip(word):
    if _width(word) <= _WORD_WIDTH:
        return word
    while _width(word) > _WORD_WIDTH - 1:
        word = word[:-1]
    return word + "…"


def _check(links, src, trg, number):
    for i, j in links:
        if i >= len(src) or j >= len(trg):
            raise ValueError(
                f"pair {number}: link {i}-{j} is beyond its {len(src)} source and {len(trg)} "
                "target words (links of another corpus, or the other orientation?)"
            )


def render_text(src, trg, predicted, sure=None, possible=None, colour=False):
    """A pair's grid as terminal text: `src`, `trg` word lists, links as (i, j) sets."""
    with_gold, sure, possible = _gold(sure, possible)
    side = max((_width(_clip(w)) for w in src), default=0)
    columns = [_clip(w) for w in trg]
    rows = []
    for r in range(max((len(c) for c in columns), default=0)):
        cells = []
        for column in columns:
            c = column[r] if r < len(column) else " "
            cells.append(c if _width(c) == 2 else c + " ")
        rows.append(" " * (side + 1) + "".join(cells).rstrip())
    for i, word in enumerate(src):
        word = _clip(word)
        cells = []
        for j in range(len(trg)):
            mark, ansi = _MARKS[_kind((i, j), predicted, sure, possible, with_gold)]
            cells.append(f"{ansi}{mark}{_RESET}" if colour else mark)
        rows.append(word + " " * (side - _width(word) + 1) + "".join(cells).rstrip())
    return "\n".join(rows) + "\n"


def legend(with_gold, colour=False):
    names = _LEGEND_GOLD if with_gold else ("predicted",)
    parts = []
    for name in names:
        mark, ansi = _MARKS[name]
        parts.append(f"{ansi}{mark}{_RESET} {name}" if colour else f"{mark} {name}")
    return "   ".join(parts) + "\n"


_CELL = 18
_SVG_COLOURS = {
    "sure": "#2e7d32",
    "possible": "#f9a825",
    "wrong": "#c62828",
    "predicted": "#263238",
}


# Pixels a unit of display width takes at the pictures' font size (a wide character is two),
# the title's line, and a line of the legend.
_PX = 8
_TITLE = 32
_LEGEND_LINE = 18


def _legend_items(with_gold):
    """(label, fill, outline dash or None) of each mark the picture uses."""
    if not with_gold:
        return [("predicted link", _SVG_COLOURS["predicted"], None)]
    return [
        ("predicted, sure", _SVG_COLOURS["sure"], None),
        ("predicted, possible", _SVG_COLOURS["possible"], None),
        ("predicted, not in the gold links", _SVG_COLOURS["wrong"], None),
        ("sure gold link", None, ""),
        ("possible gold link", None, "3 2"),
    ]


def _svg_box(src, trg, with_gold=False):
    """Left margin, top margin, width and height of a pair's picture."""
    left = 8 + _PX * max((_width(w) for w in src), default=0)
    top = _TITLE + _PX * max((_width(w) for w in trg), default=0)
    legend = _legend_items(with_gold)
    legend_width = 8 + _CELL + _PX * max(_width(label) for label, _, _ in legend)
    width = max(left + _CELL * len(trg) + 8, legend_width)
    return left, top, width, top + _CELL * len(src) + 12 + _LEGEND_LINE * len(legend)


def render_svg(src, trg, predicted, sure=None, possible=None, title=""):
    """A pair's grid as an <svg> element: gold links outlined, predicted ones filled."""
    with_gold, sure, possible = _gold(sure, possible)
    left, top, width, height = _svg_box(src, trg, with_gold)
    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'font-family="sans-serif" font-size="13">',
        f"<title>{html.escape(title)}</title>",
        f'<text x="4" y="16" font-weight="bold">{html.escape(title)}</text>',
    ]
    for j, word in enumerate(trg):
        x, y = left + _CELL * j + _CELL / 2 + 4, top - 6
        out.append(
            f'<text x="{x}" y="{y}" transform="rotate(-90 {x} {y})">{html.escape(word)}</text>'
        )
    for i, word in enumerate(src):
        y = top + _CELL * i + _CELL - 5
        out.append(f'<text x="{left - 6}" y="{y}" text-anchor="end">{html.escape(word)}</text>')
        for j in range(len(trg)):
            x, y = left + _CELL * j, top + _CELL * i
            kind = _kind((i, j), predicted, sure, possible, with_gold)
            out.append(
                f'<rect x="{x}" y="{y}" width="{_CELL}" height="{_CELL}" fill="white" '
                'stroke="#ddd"/>'
            )
            if (i, j) in sure or (i, j) in possible:
                dash = "" if (i, j) in sure else ' stroke-dasharray="3 2"'
                out.append(
                    f'<rect x="{x + 1.5}" y="{y + 1.5}" width="{_CELL - 3}" height="{_CELL - 3}" '
                    f'fill="none" stroke="#1565c0" stroke-width="2"{dash}/>'
                )
            if (i, j) in predicted:
                out.append(
                    f'<rect x="{x + 5}" y="{y + 5}" width="{_CELL - 10}" height="{_CELL - 10}" '
                    f'fill="{_SVG_COLOURS[kind]}"><title>{html.escape(kind)}</title></rect>'
                )
    y = top + _CELL * len(src) + 12
    out.append('<g class="legend">')
    for label, fill, dash in _legend_items(with_gold):
        if fill is not None:
            out.append(
                f'<rect x="9" y="{y + 2}" width="{_CELL - 10}" height="{_CELL - 10}" '
                f'fill="{fill}"/>'
            )
        else:
            dashes = f' stroke-dasharray="{dash}"' if dash else ""
            out.append(
                f'<rect x="5.5" y="{y - 1.5}" width="{_CELL - 3}" height="{_CELL - 3}" '
                f'fill="none" stroke="#1565c0" stroke-width="2"{dashes}/>'
            )
        out.append(f'<text x="{8 + _CELL}" y="{y + 11}">{html.escape(label)}</text>')
        y += _LEGEND_LINE
    out.append("</g>")
    out.append("</svg>")
    return "\n".join(out) + "\n"


def _read_pairs(path, numbers, transform):
    wanted, found = set(numbers), {}
    with files.open(path) as f:
        for number, line in enumerate(f, 1):
            if number in wanted:
                found[number] = transform(line)
                if len(found) == len(wanted):
                    break
    missing = sorted(wanted - found.keys())
    if missing:
        raise ValueError(f"{os.fspath(path)} has no pair {missing[0]} (it has fewer lines)")
    return found


def count_pairs(path):
    """The number of lines (pairs) of a corpus file."""
    with files.open(path, "rb") as f:
        return sum(1 for _ in f)


def parse_pairs(text, limit=None):
    """1-based pair numbers from "3", "1,4-6" and the like, in the order given; none beyond
    `limit`, the number of pairs there are, when it is given."""
    numbers = []
    for part in text.split(","):
        first, _, last = part.strip().partition("-")
        try:
            low, high = int(first), int(last or first)
        except ValueError:
            raise ValueError(
                f"{part.strip()!r} is not a pair number or range (as 3 or 4-6)"
            ) from None
        if low < 1 or high < low:
            raise ValueError(f"{part.strip()!r} is not a range of pair numbers from 1")
        if limit is not None and high > limit:
            raise ValueError(f"there is no pair {high}: the corpus has {limit}")
        numbers.extend(range(low, high + 1))
    return numbers


def show(
    src_path,
    trg_path,
    links_path,
    pairs=(1,),
    gold_path=None,
    gold_format="auto",
    reverse_gold=False,
    decoded=False,
    character=False,
    output=None,
    colour=None,
):
    """Draw the links of `pairs` (1-based): to `output` (.svg or .html) or as text on stdout.

    `colour`: None colours the text when stdout is a terminal. The links are an "i-j" file
    (a decoded source-to-target file with `decoded`), the gold links as zel-eval reads them.
    """
    pairs = list(pairs)
    if output is not None and not str(output).endswith((".svg", ".html")):
        raise ValueError(f"{os.fspath(output)}: the picture's file name must end in .svg or .html")
    files.check_outputs([output], [src_path, trg_path, links_path, gold_path])
    src = _read_pairs(src_path, pairs, lambda line: words(line, character))
    trg = _read_pairs(trg_path, pairs, lambda line: words(line, character))
    predicted = evaluate.read_links(links_path, max(pairs), decoded)
    if len(predicted) < max(pairs):
        raise ValueError(f"{os.fspath(links_path)} has no pair {max(pairs)} (it has fewer lines)")
    sure = possible = None
    if gold_path is not None:
        sure, possible = evaluate.read_gold(gold_path, gold_format, reverse_gold)
        if len(sure) < max(pairs):
            raise ValueError(
                f"{os.fspath(gold_path)} has no pair {max(pairs)} (it has {len(sure)} pairs): "
                "its links would all be drawn as wrong"
            )
    for n in pairs:
        _check(predicted[n - 1], src[n], trg[n], n)
    gold = (
        (lambda n: (sure[n - 1], possible[n - 1])) if sure is not None else (lambda n: (None, None))
    )
    if output is None:
        if colour is None:
            colour = sys.stdout.isatty()
        for n in pairs:
            sys.stdout.write(f"pair {n}\n")
            sys.stdout.write(render_text(src[n], trg[n], predicted[n - 1], *gold(n), colour=colour))
            sys.stdout.write("\n")
        sys.stdout.write(legend(sure is not None, colour))
        return
    svgs = [
        render_svg(src[n], trg[n], predicted[n - 1], *gold(n), title=f"pair {n}") for n in pairs
    ]
    with files.open(output, "wt") as out:
        if str(output).endswith(".svg"):
            boxes = [_svg_box(src[n], trg[n], sure is not None) for n in pairs]
            out.write(_stacked(svgs, [b[2] for b in boxes], [b[3] for b in boxes]))
        else:
            out.write(
                '<!DOCTYPE html>\n<html><head><meta charset="utf-8">'
                f"<title>{html.escape(os.fspath(links_path))}</title></head><body>\n"
            )
            for n, svg in zip(pairs, svgs, strict=True):
                out.write(f"<h2>pair {n}</h2>\n{svg}")
            out.write("</body></html>\n")
    logger.info("picture of %d pair%s: %s", len(pairs), "s" if len(pairs) > 1 else "", output)


def _stacked(svgs, widths, heights):
    """One SVG document holding the pairs' pictures one below the other."""
    width, height = max(widths), sum(heights)
    parts, y = [], 0
    for svg, h in zip(svgs, heights, strict=True):
        parts.append(svg.replace("<svg ", f'<svg y="{y}" ', 1))
        y += h
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}">\n'
        + "".join(parts)
        + "</svg>\n"
    )


def create_parser():
    parser = argparse.ArgumentParser(
        prog="zel-show",
        description="Draw the word links of sentence pairs as grids: source words down the "
        "side, target words along the top.",
    )
    parser.add_argument("src_path", help="file containing source-side lines of parallel text")
    parser.add_argument("trg_path", help="file containing target-side lines of parallel text")
    parser.add_argument("links", help='file of "i-j" links (0-based source-target), a line a pair')
    parser.add_argument(
        "--pairs", "-p", default="1", help="pair numbers from 1, as 3 or 1,4-6 (default: 1)"
    )
    parser.add_argument("--gold", "-g", help="gold links to compare with (formats as zel-eval)")
    parser.add_argument(
        "--gold-format",
        choices=evaluate.GOLD_FORMATS,
        default="auto",
        help="form of the gold file (default: %(default)s)",
    )
    parser.add_argument(
        "--reverse-gold", action="store_true", help="the gold file gives the target position first"
    )
    parser.add_argument(
        "--decoded", action="store_true", help="LINKS is a source-to-target decoded alignment file"
    )
    parser.add_argument(
        "--character", "-c", action="store_true", help="character based alignment mode"
    )
    parser.add_argument(
        "--output", "-o", help="write an SVG or HTML picture (by the name's ending) instead"
    )
    parser.add_argument(
        "--colour",
        "--color",
        choices=("auto", "always", "never"),
        default="auto",
        help="colour the terminal grid (default: when stdout is a terminal)",
    )
    return parser


def main(argv=None):
    args = create_parser().parse_args(argv)
    colour = {"auto": None, "always": True, "never": False}[args.colour]
    try:
        show(
            args.src_path,
            args.trg_path,
            args.links,
            parse_pairs(args.pairs, count_pairs(args.src_path)),
            args.gold,
            args.gold_format,
            args.reverse_gold,
            args.decoded,
            args.character,
            args.output,
            colour,
        )
    except BrokenPipeError:
        raise  # the command ends quietly
    except (OSError, ValueError) as e:
        logger.error("%s", zlogging.error_text(e))
        return 1
    return 0
