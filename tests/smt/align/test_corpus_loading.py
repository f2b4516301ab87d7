import gzip
import logging as std_logging

import pytest

from zel.smt.align import emalign


@pytest.fixture(scope="module")
def load(entry):
    load_sent_pairs = entry("load_sent_pairs")

    def run(vocab, src, trg, character=False):
        return load_sent_pairs(vocab, str(src), str(trg), character)

    return run


@pytest.fixture(scope="module")
def to_text(entry):
    return entry("ids_pair_to_str_pair")


def corpus(tmp_path, src_text, trg_text, suffix=""):
    src, trg = tmp_path / f"src.txt{suffix}", tmp_path / f"trg.txt{suffix}"
    opener = gzip.open if suffix == ".gz" else open
    with opener(src, "wb") as f:
        f.write(src_text.encode() if isinstance(src_text, str) else src_text)
    with opener(trg, "wb") as f:
        f.write(trg_text.encode() if isinstance(trg_text, str) else trg_text)
    return src, trg


@pytest.mark.parametrize("suffix", ["", ".gz"])
def test_one_line_corpus(tmp_path, load, to_text, caplog, suffix):
    src, trg = corpus(tmp_path, "a b\n", "x\n", suffix)
    vocab = emalign.Vocab()
    with caplog.at_level(std_logging.INFO, logger="zel.smt.align.emalign"):
        pairs = load(vocab, src, trg)
    assert pairs == [([0, 1, 2], [0])]
    assert caplog.messages == [f"loading files: {src} {trg}"]
    assert to_text(vocab, [0, 1, 2], [0], False) == ("a b", "x")
    assert to_text(vocab, [0, 1, 2], [0], True) == ("ab", "x")


@pytest.mark.parametrize(
    ("src_text", "trg_text", "character", "expected"),
    [
        ("a  b\n", "\n", False, [(["a", "", "b"], [""])]),
        ("a b\r\n", "x\r\n", False, [(["a", "b"], ["x"])]),
        (" a \n", "x\n", False, [(["", "a", ""], ["x"])]),
        ("a\rb c\n", "x\n", False, [(["a\rb", "c"], ["x"])]),
        ("ab c\n", "日本\n", True, [(["a", "b", " ", "c"], ["日", "本"])]),
        ("a\nb\nc\n", "1\n2\n3\n4\n5\n", False, [(["a"], ["1"]), (["b"], ["2"]), (["c"], ["3"])]),
        ("a\nb\nc", "1\n2\n", False, [(["a"], ["1"]), (["b"], ["2"])]),
        ("", "x\n", False, []),
    ],
)
def test_lines_become_words(tmp_path, load, to_text, src_text, trg_text, character, expected):
    src, trg = corpus(tmp_path, src_text, trg_text)
    vocab = emalign.Vocab()
    pairs = load(vocab, src, trg, character)
    joiner = "" if character else " "
    assert len(pairs) == len(expected)
    for (src_ids, trg_ids), (src_words, trg_words) in zip(pairs, expected, strict=True):
        assert src_ids[0] == 0
        assert to_text(vocab, src_ids, trg_ids, character) == (
            joiner.join(src_words),
            joiner.join(trg_words),
        )
        assert len(src_ids) == len(src_words) + 1 and len(trg_ids) == len(trg_words)


def test_second_load_continues_the_vocabularies(tmp_path, load):
    vocab = emalign.Vocab()
    src, trg = corpus(tmp_path, "a b\n", "x\n")
    assert load(vocab, src, trg) == [([0, 1, 2], [0])]
    src2, trg2 = corpus(tmp_path / "..", "b c\n", "y x\n")
    assert load(vocab, src2, trg2) == [([0, 2, 3], [1, 0])]


def test_invalid_utf8_names_file_and_line_and_keeps_earlier_words(tmp_path, load):
    src, trg = corpus(tmp_path, "a\nb\nc\n", b"x\ny\n\xc3z\n")
    vocab = emalign.Vocab()
    with pytest.raises(UnicodeDecodeError) as error:
        load(vocab, src, trg)
    assert f"({trg}, line 3)" in str(error.value)
    assert error.value.object == b"\xc3z\n"
    assert error.value.start == 0
    # Words of the first two pairs kept their ids; the next load goes on from there.
    src2, trg2 = corpus(tmp_path / "..", "c\n", "z\n")
    assert load(vocab, src2, trg2) == [([0, 3], [2])]


def test_missing_file_fails_with_the_open_error(tmp_path, load, caplog):
    vocab = emalign.Vocab()
    with pytest.raises(FileNotFoundError):
        load(vocab, tmp_path / "nope.en", tmp_path / "nope.fr")


def test_none_paths_are_logged_then_fail(entry, caplog):
    with caplog.at_level(std_logging.INFO, logger="zel.smt.align.emalign"):
        with pytest.raises(TypeError):
            entry("load_sent_pairs")(emalign.Vocab(), None, None, False)
    assert caplog.messages == ["loading files: None None"]


def test_unknown_id_fails_in_ids_pair_to_str_pair(to_text):
    with pytest.raises(IndexError):
        to_text(emalign.Vocab(), [0, 5], [], False)


def test_summary_reports_compact_storage(tmp_path, entry):
    src, trg = corpus(tmp_path, "a b c\n" * 100, "x y\n" * 100)
    summary = entry("load_corpus_summary")(emalign.Vocab(), str(src), str(trg), False)
    assert (summary["pairs"], summary["src_tokens"], summary["trg_tokens"]) == (100, 400, 200)
    assert summary["corpus_bytes"] == 600 * 4 + 2 * 101 * 8
    assert (summary["max_src_len"], summary["max_trg_len"]) == (4, 2)
