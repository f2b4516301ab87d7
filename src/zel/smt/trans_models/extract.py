"""From a word-aligned corpus to a Moses phrase table: the zel-extract command line.

Phrase pairs are extracted as the phrase-based literature defines them (Och and Ney 2004;
Koehn, Och and Marcu 2003): every pair of spans of at most ``max_length`` words a side that
holds at least one link and that no link leaves through one side only, extended over unaligned
words at the edges, each with its internal links. Lexical translation tables are estimated on
the links in both directions (unaligned words counted against NULL), and each distinct phrase
pair is written once, as ``MosesRecord`` reads it::

    source ||| target ||| p(f|e) lex(f|e) p(e|f) lex(e|f) ||| points ||| c(e) c(f) c(f,e)

(inverse phrase probability, inverse lexical weight, direct phrase probability, direct lexical
weight; the lexical weights of the pair's most frequent internal alignment, of several as
frequent the least in byte order), sorted by source side then target side in byte order, and
compressed when the output's name ends in ``.gz``, ``.bz2`` or ``.xz``. A phrase side that a
record would not read back as it is (white space at an end, from empty words of the corpus, or
the field separator inside) is left out.

The phrase pairs extracted are held in memory up to ``memory_mb`` (beyond it they go to
temporary files, sorted in runs and merged); besides them, memory holds the corpus's distinct
phrases once each. The output is the same bytes whatever the memory setting and the number of
threads, and is written beside its name and put in place when complete. A ``.gz`` output is
compressed on the threads, in gzip members of 8,192 lines.

    zel-extract SRC TRG LINKS OUT [--max-length N] [--memory MB] [--temp-dir DIR] [--threads N]

LINKS holds "i-j" lines (0-based source and target positions), as zel-align writes them.
"""

import argparse
import os
import tempfile

from zel.common import files, threads
from zel.common import logging as zlogging
from zel.common.config import Config

from . import _extract

logger = zlogging.getColorLogger(__name__)

MAX_LENGTH = 7
MEMORY_MB = 1024
# The most the native sizes hold (64 bits, of bytes for the memory).
MAX_LENGTH_LIMIT = 2**64 - 1
MEMORY_MB_LIMIT = 2**44 - 1


def _count_lines(path):
    with files.open(path, "rb") as f:
        return sum(1 for _ in f)


def extract(conf=None, **others):
    """Write the phrase table of a word-aligned corpus.

    `conf` (a mapping or Config; keyword settings override it) has ``src_path``, ``trg_path``,
    ``links_path`` and ``out_path``, and optionally ``max_length`` (7), ``memory_mb`` (1024:
    the phrase pairs held in memory before they go to disk), ``temp_dir`` (where sort runs go;
    the system's by default) and ``threads``. Returns a dict of counts: pairs, instances (phrase
    pairs extracted, repeats included), phrase_pairs (lines written) and runs (sorted runs
    written to disk).
    """
    conf = Config(conf)
    conf.update(others)
    data = conf.data
    max_length = conf.get("max_length", MAX_LENGTH)
    memory_mb = conf.get("memory_mb", MEMORY_MB)
    for name, value, most in (
        ("maximum phrase length (--max-length)", max_length, MAX_LENGTH_LIMIT),
        ("memory (--memory, in MB)", memory_mb, MEMORY_MB_LIMIT),
    ):
        if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= most:
            raise ValueError(f"the {name} must be a whole number from 1 to {most:,}, not {value!r}")
    inputs = [data.src_path, data.trg_path, data.links_path]
    for path in inputs:
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no such input file: {os.fsdecode(path)}")
    files.check_outputs([data.out_path], inputs)
    if conf.get("threads", None) is not None:
        threads.set_threads(conf.get("threads"))
    pairs = _count_lines(data.links_path)
    with tempfile.TemporaryDirectory(prefix="zel-extract-", dir=conf.get("temp_dir", None)) as tmp:
        report = _extract.build_phrase_table(
            data.src_path,
            data.trg_path,
            data.links_path,
            data.out_path,
            max_length,
            memory_mb * 2**20,
            tmp,
            pairs,
        )
    if report["pairs"] == 0:
        logger.warning("the corpus has no sentence pairs: the phrase table is empty")
    logger.info(
        "%s phrase pairs (%s extracted from %s sentence pairs) written to %s",
        f"{report['phrase_pairs']:,}",
        f"{report['instances']:,}",
        f"{report['pairs']:,}",
        os.fsdecode(data.out_path),
    )
    return report


def create_parser():
    parser = argparse.ArgumentParser(
        prog="zel-extract",
        description="Extract and score the phrase pairs of a word-aligned corpus into a Moses "
        "phrase table.",
    )
    parser.add_argument("src_path", metavar="SRC", help="source-side lines of the corpus")
    parser.add_argument("trg_path", metavar="TRG", help="target-side lines of the corpus")
    parser.add_argument(
        "links_path", metavar="LINKS", help='the links of each pair ("i-j" lines, 0-based)'
    )
    parser.add_argument(
        "out_path", metavar="OUT", help="the phrase table (compressed when named .gz)"
    )
    parser.add_argument(
        "--max-length",
        type=int,
        default=MAX_LENGTH,
        help="most words of a phrase, each side (default: %(default)s)",
    )
    parser.add_argument(
        "--memory",
        dest="memory_mb",
        type=int,
        default=MEMORY_MB,
        help="megabytes of extracted phrase pairs held in memory before they are written to "
        "disk in sorted runs (default: %(default)s)",
    )
    parser.add_argument("--temp-dir", help="where sorted runs are written (default: the system's)")
    parser.add_argument("--threads", type=int, help="threads (default: every usable core)")
    parser.add_argument("--debug", "-D", action="store_true", help="debug mode")
    parser.add_argument("--quiet", "-q", action="store_true", help="not showing staging log")
    return parser


def main(argv=None):
    args = create_parser().parse_args(argv)
    names = [__name__]
    with zlogging.using_config(names, debug=args.debug, quiet=args.quiet):
        try:
            extract(vars(args))
        except BrokenPipeError:
            raise  # the reader went away: the command ends quietly
        except (OSError, ValueError, MemoryError) as e:
            logger.error("%s", zlogging.error_text(e))
            return 1
    return 0
