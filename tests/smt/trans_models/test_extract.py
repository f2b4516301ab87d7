"""Phrase tables from word links: hand-worked pairs, a plain formulation of the definitions,
the same bytes for any thread count and memory setting, and lines the records read back."""

import gzip
import itertools
import logging
from collections import Counter, defaultdict
from pathlib import Path

import pytest
from zel.smt.trans_models.records import MosesRecord
from zel.smt.trans_models.tables import MosesTable

from zel.common import progress
from zel.smt.trans_models import extract

TOY = Path(__file__).resolve().parents[3] / "data" / "toy"


def write_corpus(folder, pairs):
    for k, name in enumerate(("src", "trg", "links")):
        (folder / name).write_text("".join(p[k] + "\n" for p in pairs), encoding="utf-8")
    return {k: folder / k for k in ("src", "trg", "links")}


def run(paths, out, **settings):
    extract.extract(
        src_path=paths["src"],
        trg_path=paths["trg"],
        links_path=paths["links"],
        out_path=out,
        **settings,
    )
    opener = gzip.open if str(out).endswith(".gz") else open
    with opener(out, "rt", encoding="utf-8") as f:
        return f.read().splitlines()


def number(x):
    return str(int(x)) if x == int(x) else repr(x)


def line(f, e, scores, points, counts):
    # Counts as the records print them: c(e) c(f) c(f,e), as floats.
    text = " ".join(repr(float(c)) for c in counts)
    return " ||| ".join([f, e, " ".join(number(s) for s in scores), points, text])


# A crossing link (b-z, c-y), an unaligned word on each side at an edge (d, w), and a
# source word with two translations (a: x twice, y once).
HAND = [("a b c", "x y z", "0-0 1-2 2-1"), ("a d", "x w", "0-0"), ("a", "y", "0-0")]


def test_hand_worked_table(tmp_path):
    # Lexicon: c(a,x)=2 c(a,y)=1 c(b,z)=1 c(c,y)=1 c(d,NULL)=1 c(NULL,w)=1, so
    # w(x|a)=2/3 w(y|a)=1/3 w(a|y)=w(c|y)=1/2, every other weight 1.
    # Phrase counts: c(a)=4 c(a d)=2 c(x)=3 c(x w)=2 c(y)=2, the others 1.
    expected = [
        line("a", "x", [2 / 3, 1, 2 / 4, 2 / 3], "0-0", (3, 4, 2)),
        line("a", "x w", [1 / 2, 1, 1 / 4, 2 / 3], "0-0", (2, 4, 1)),
        line("a", "y", [1 / 2, 1 / 2, 1 / 4, 1 / 3], "0-0", (2, 4, 1)),
        line("a b c", "x y z", [1, 1 / 2, 1, 2 / 3], "0-0 1-2 2-1", (1, 1, 1)),
        line("a d", "x", [1 / 3, 1, 1 / 2, 2 / 3], "0-0", (3, 2, 1)),
        line("a d", "x w", [1 / 2, 1, 1 / 2, 2 / 3], "0-0", (2, 2, 1)),
        line("b", "z", [1, 1, 1, 1], "0-0", (1, 1, 1)),
        line("b c", "y z", [1, 1 / 2, 1, 1], "0-1 1-0", (1, 1, 1)),
        line("c", "y", [1 / 2, 1 / 2, 1, 1], "0-0", (2, 1, 1)),
    ]
    assert run(write_corpus(tmp_path, HAND), tmp_path / "table") == expected
    # A limit far beyond the sentences costs nothing more.
    assert run(write_corpus(tmp_path, HAND), tmp_path / "long", max_length=10**12) == expected
    # At most one word a side: the single-word pairs alone.
    short = run(write_corpus(tmp_path, HAND), tmp_path / "short", max_length=1)
    assert [tuple(x.split(" ||| ")[:2]) for x in short] == [
        ("a", "x"),
        ("a", "y"),
        ("b", "z"),
        ("c", "y"),
    ]


def reference(pairs, max_length):
    """The definitions written out plainly: every consistent box by brute force."""
    phrases, lexicon = Counter(), Counter()
    aligns = defaultdict(Counter)
    for src, trg, text in pairs:
        f, e = src.split(" "), trg.split(" ")
        links = {tuple(map(int, p.split("-"))) for p in text.split()}
        for i, j in links:
            lexicon[f[i], e[j]] += 1
        lexicon.update((w, None) for i, w in enumerate(f) if all(i != a for a, _ in links))
        lexicon.update((None, w) for j, w in enumerate(e) if all(j != b for _, b in links))
        spans = itertools.combinations_with_replacement
        for (f1, f2), (e1, e2) in itertools.product(
            spans(range(len(f)), 2), spans(range(len(e)), 2)
        ):
            if f2 - f1 >= max_length or e2 - e1 >= max_length:
                continue
            inside = [(i, j) for i, j in links if f1 <= i <= f2 and e1 <= j <= e2]
            leaving = [(i, j) for i, j in links if (f1 <= i <= f2) != (e1 <= j <= e2)]
            if inside and not leaving:
                key = (" ".join(f[f1 : f2 + 1]), " ".join(e[e1 : e2 + 1]))
                phrases[key] += 1
                points = " ".join(sorted(f"{i - f1}-{j - e1}" for i, j in inside))
                aligns[key][points] += 1
    total_f, total_e = Counter(), Counter()
    for (fw, ew), n in lexicon.items():
        total_f[fw] += n
        total_e[ew] += n
    c_f, c_e = Counter(), Counter()
    for (fp, ep), n in phrases.items():
        c_f[fp] += n
        c_e[ep] += n

    def lex(fp, ep, points, direct):
        fw, ew = fp.split(" "), ep.split(" ")
        pts = [tuple(map(int, p.split("-"))) for p in points.split()]
        weight = 1.0
        for k, word in enumerate(ew if direct else fw):
            if direct:  # lex(e|f): w(e_k | f_i) over the f_i linked to e_k
                terms = [lexicon[fw[i], word] / total_f[fw[i]] for i, j in pts if j == k]
                terms = terms or [lexicon[None, word] / total_f[None]]
            else:
                terms = [lexicon[word, ew[j]] / total_e[ew[j]] for i, j in pts if i == k]
                terms = terms or [lexicon[word, None] / total_e[None]]
            weight *= sum(terms) / len(terms)
        return weight

    lines = []
    for fp, ep in sorted(phrases, key=lambda k: (k[0].encode(), k[1].encode())):
        n = phrases[fp, ep]
        best = min(aligns[fp, ep].items(), key=lambda kv: (-kv[1], kv[0].encode()))[0]
        scores = [n / c_e[ep], lex(fp, ep, best, False), n / c_f[fp], lex(fp, ep, best, True)]
        lines.append(line(fp, ep, scores, best, (c_e[ep], c_f[fp], n)))
    return lines


@pytest.fixture(scope="module")
def toy_pairs():
    """The toy corpus with its true links (0-based, from the WPT lines)."""
    src = (TOY / "train.src").read_text(encoding="utf-8").splitlines()
    trg = (TOY / "train.trg").read_text(encoding="utf-8").splitlines()
    links = defaultdict(list)
    for gold in (TOY / "train.gold").read_text(encoding="utf-8").splitlines():
        n, i, j, _ = gold.split()
        links[int(n) - 1].append(f"{int(i) - 1}-{int(j) - 1}")
    return [(s, t, " ".join(links[k])) for k, (s, t) in enumerate(zip(src, trg, strict=True))]


def test_toy_corpus_equals_plain_formulation_for_any_threads_and_memory(
    toy_pairs, tmp_path, monkeypatch
):
    (tmp_path / "part").mkdir()
    part = toy_pairs[:400]
    assert run(write_corpus(tmp_path / "part", part), tmp_path / "part.gz") == reference(part, 7)
    paths = write_corpus(tmp_path, toy_pairs)
    monkeypatch.setenv("ZEL_THREADS", "1")
    table = run(paths, tmp_path / "one.gz", max_length=4)
    monkeypatch.setenv("ZEL_THREADS", "3")
    # One megabyte for the instances: they are sorted in several runs, then merged.
    spilled = tmp_path / "spilled.gz"
    report = extract.extract(
        src_path=paths["src"],
        trg_path=paths["trg"],
        links_path=paths["links"],
        out_path=spilled,
        max_length=4,
        memory_mb=1,
    )
    assert report["runs"] >= 2
    assert spilled.read_bytes() == (tmp_path / "one.gz").read_bytes()
    for text in table[:: max(1, len(table) // 200)]:
        assert MosesRecord(text).to_str() == text
    index = MosesTable(str(tmp_path / "one.gz"))
    assert len(index) == len(table)
    first = MosesRecord(table[0])
    assert first.trg in [r.trg for r in index.find_src(first.src)]


@pytest.mark.parametrize(
    ("pairs", "message"),
    [
        ([("a b", "x", "0-0"), ("a", "x", "1-0")], "links, line 2: link 1-0 is outside the pair"),
        ([("a", "x", "0-0"), ("a", "x", "0:0")], "links, line 2: '0:0' is not a link"),
    ],
)
def test_bad_links_name_file_and_line_and_write_nothing(tmp_path, pairs, message):
    paths = write_corpus(tmp_path, pairs)
    assert_refused(paths, tmp_path / "table", message)


@pytest.mark.parametrize(("short", "longer"), [("links", "src"), ("src", "trg"), ("trg", "src")])
def test_files_of_unequal_lengths_are_refused(tmp_path, short, longer):
    paths = write_corpus(tmp_path, HAND)
    lines = paths[short].read_text().splitlines(keepends=True)
    paths[short].write_text("".join(lines[:2]))
    assert_refused(paths, tmp_path / "table", f"{short} has 2 lines, fewer than .*{longer}")


def test_an_empty_corpus_is_told(tmp_path, caplog):
    paths = write_corpus(tmp_path, [])
    with caplog.at_level(logging.WARNING, logger="zel"):
        assert run(paths, tmp_path / "table") == []
    assert "the corpus has no sentence pairs: the phrase table is empty" in caplog.messages


def assert_refused(paths, out, message):
    out.write_text("earlier\n")
    with pytest.raises(ValueError, match=message):
        run(paths, out)
    assert out.read_text() == "earlier\n"


def test_a_corpus_without_links_gives_an_empty_gzip_table(tmp_path):
    paths = write_corpus(tmp_path, [("a b", "x", ""), ("c", "y z", "")])
    assert run(paths, tmp_path / "table.gz") == []
    # A gzip member, which gzip tools accept, not an empty file.
    assert (tmp_path / "table.gz").read_bytes()[:2] == b"\x1f\x8b"


def test_align_writes_the_phrase_table_of_its_final_links(tmp_path):
    from zel.smt.align import bidirectional

    paths = bidirectional.align_both(
        {"src_path": TOY / "train.src", "trg_path": TOY / "train.trg", "outdir": tmp_path / "a"},
        phrase_table=True,
        quiet=True,
    )
    expected = run(
        {"src": TOY / "train.src", "trg": TOY / "train.trg", "links": paths["final"]},
        tmp_path / "own.gz",
    )
    assert paths["phrase_table"].name == "phrase-table.gz"
    assert gzip.open(paths["phrase_table"], "rt", encoding="utf-8").read().splitlines() == expected


@pytest.mark.parametrize("stage", ["extracting", "sorting", "scoring"])
def test_interrupt_leaves_the_old_table_and_no_temporary_files(
    toy_pairs, tmp_path, monkeypatch, stage
):
    paths = write_corpus(tmp_path, toy_pairs)
    temp = tmp_path / "tmp"
    temp.mkdir()
    out = tmp_path / "table.gz"
    out.write_bytes(b"old")

    def advance(self, n=1):
        if self.header == stage:
            raise KeyboardInterrupt

    monkeypatch.setattr(progress.Bar, "advance", advance)
    with pytest.raises(KeyboardInterrupt):
        # One megabyte: the instances go through temporary files.
        run(paths, out, memory_mb=1, temp_dir=temp)
    assert out.read_bytes() == b"old"
    assert list(temp.iterdir()) == []
    assert sorted(p.name for p in tmp_path.iterdir()) == ["links", "src", "table.gz", "tmp", "trg"]


@pytest.mark.parametrize(
    ("option", "name"), [("--max-length", "maximum phrase length"), ("--memory", "memory")]
)
def test_a_number_beyond_the_native_range_is_an_error_naming_the_option(
    tmp_path, caplog, option, name
):
    paths = write_corpus(tmp_path, HAND)
    argv = [str(paths[k]) for k in ("src", "trg", "links")] + [str(tmp_path / "t"), option]
    with caplog.at_level(logging.ERROR, logger="zel"):
        assert extract.main([*argv, str(2**65)]) == 1
    most = extract.MEMORY_MB_LIMIT if option == "--memory" else extract.MAX_LENGTH_LIMIT
    assert caplog.messages == [
        f"the {name} ({option}{', in MB' if option == '--memory' else ''}) must be a whole "
        f"number from 1 to {most:,}, not {2**65}"
    ]
