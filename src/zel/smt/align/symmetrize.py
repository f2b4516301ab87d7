"""Word links of both directions combined, and links in the common "i-j" form.

Training and scoring write decoded alignments one direction at a time: a line a sentence pair,
tokens "j-i" with j the 1-based position of a target word and i its source position (0 for the
NULL word). A source-to-target file and a target-to-source file of the same corpus (the second
trained with the sides swapped) combine here into one link set a pair, written as phrase
extraction reads it: "i-j" tokens, i the 0-based source position and j the 0-based target
position, sorted, one line a pair (an empty line for a pair without links).

Heuristics, each starting from the links both directions have:

- ``intersection``: those links only; ``union``: every link of either direction.
- ``grow-diag``: then, sweeping the pairs' grid until nothing changes, a link of either
  direction next to a chosen one (the diagonals included) whose source or target word has no
  link yet.
- ``grow-diag-final-and``: then the links of either direction whose two words are both
  still unaligned.
- ``grow-diag-final``: then also those with one unaligned word. Links between two unaligned
  words are taken first, so grow-diag-final always holds every link of grow-diag-final-and.

    zel-symmetrize SRC_TRG_DECODED TRG_SRC_DECODED OUTPUT [--heuristic NAME]
"""

import argparse
import itertools
import os

from zel.common import files, progress
from zel.common import logging as zlogging

from . import _links

HEURISTICS = _links.HEURISTICS
DEFAULT_HEURISTIC = "grow-diag-final-and"
# Pairs handed to the native code at a time: a few MB of text, and a progress step.
_CHUNK = 20000

logger = zlogging.getColorLogger(__name__)


def _chunks(source, label):
    """Lists of lines of an open file, counted on a progress bar labelled `label`."""
    bar = progress.Bar(label, None, " pairs")
    try:
        while chunk := list(itertools.islice(source, _CHUNK)):
            yield chunk
            bar.advance(len(chunk))
    finally:
        bar.close()


def _different_lengths(shorter, lines, longer):
    return ValueError(
        f"{shorter} has {lines} line{'' if lines == 1 else 's'}, {longer} has more: "
        "the two files must be decoded from the same corpus"
    )


def check_heuristic(name):
    """ValueError naming the known heuristics unless `name` is one."""
    if name not in HEURISTICS:
        raise ValueError(f"unknown heuristic {name!r} (known: {', '.join(HEURISTICS)})")


def symmetrize(forward_path, backward_path, output_path, heuristic=DEFAULT_HEURISTIC):
    """Combine a source-to-target and a target-to-source decoded file into "i-j" links.

    Returns the number of pairs written. The two files must hold the same pairs: different
    line counts, or a link beyond the other direction's sentence length, are a ValueError
    naming the file and line, and leave the output as it was (see ``zel.common.files``).
    """
    check_heuristic(heuristic)
    files.check_outputs([output_path], [forward_path, backward_path])
    logger.info("symmetrizing by %s into file: %s", heuristic, output_path)
    forward_name, backward_name = os.fspath(forward_path), os.fspath(backward_path)
    pairs = 0
    with (
        files.open(forward_path) as forward,
        files.open(backward_path) as backward,
        files.open(output_path, "wt") as out,
    ):
        for chunk in _chunks(forward, "symmetrizing"):
            other = list(itertools.islice(backward, len(chunk)))
            if len(other) < len(chunk):
                raise _different_lengths(backward_name, pairs + len(other), forward_name)
            out.write(
                _links.symmetrize(chunk, other, heuristic, forward_name, backward_name, pairs + 1)
            )
            pairs += len(chunk)
        if backward.readline():
            raise _different_lengths(forward_name, pairs, backward_name)
    return pairs


def to_links(decoded_path, output_path, reversed=False):  # noqa: A002 - reads as the docs say
    """Write a decoded file's links as "i-j" lines (NULL links dropped); returns the pairs.

    ``reversed``: the file was decoded target-to-source; its links are turned to source-target.
    """
    files.check_outputs([output_path], [decoded_path])
    name = os.fspath(decoded_path)
    pairs = 0
    with files.open(decoded_path) as source, files.open(output_path, "wt") as out:
        for chunk in _chunks(source, "converting"):
            out.write(_links.decoded_to_links(chunk, reversed, name, pairs + 1))
            pairs += len(chunk)
    return pairs


def add_heuristic_option(parser):
    """The --heuristic/-H option of the command lines that symmetrise."""
    parser.add_argument(
        "--heuristic",
        "-H",
        choices=HEURISTICS,
        default=DEFAULT_HEURISTIC,
        help="how to combine the two directions (default: %(default)s)",
    )


def create_parser():
    parser = argparse.ArgumentParser(
        prog="zel-symmetrize",
        description='Combine the decoded alignments of both directions into "i-j" links.',
    )
    parser.add_argument("forward", help="decoded alignment file, source to target")
    parser.add_argument("backward", help="decoded alignment file, target to source")
    parser.add_argument("output", help='output file of "i-j" links (0-based source-target)')
    add_heuristic_option(parser)
    parser.add_argument("--quiet", "-q", action="store_true", help="not showing staging log")
    return parser


def main(argv=None):
    args = create_parser().parse_args(argv)
    with zlogging.using_config([__name__], quiet=args.quiet):
        try:
            symmetrize(args.forward, args.backward, args.output, args.heuristic)
        except BrokenPipeError:
            raise  # the reader went away: the command ends quietly
        except (OSError, ValueError) as e:
            logger.error("%s", zlogging.error_text(e))
            return 1
    return 0
