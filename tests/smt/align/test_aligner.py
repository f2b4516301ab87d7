"""The Aligner: sentences in memory trained and aligned as zel-align trains and aligns files."""

import pickle
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from zel.smt.align import Aligner, bidirectional

TOY = Path(__file__).resolve().parents[3] / "data" / "toy"
SRC = TOY / "train.src"
TRG = TOY / "train.trg"


def lines(path, count=400):
    with open(path, encoding="utf-8") as f:
        return [f.readline().rstrip("\n") for _ in range(count)]


def read_links(path):
    return [
        [tuple(int(n) for n in token.split("-")) for token in line.split()]
        for line in Path(path).read_text(encoding="utf-8").splitlines()
    ]


@pytest.fixture(scope="module")
def corpus():
    return lines(SRC), lines(TRG)


@pytest.fixture(scope="module", params=["posterior", "viterbi"])
def fitted(request, corpus, tmp_path_factory):
    """An Aligner fitted on the corpus, and zel-align's folder for the same corpus and settings."""
    tmp = tmp_path_factory.mktemp(request.param)
    src, trg = corpus
    for name, side in (("src", src), ("trg", trg)):
        (tmp / name).write_text("".join(s + "\n" for s in side), encoding="utf-8")
    settings = {"decoding": request.param, "quiet": True}
    bidirectional.align_both(
        settings, src_path=tmp / "src", trg_path=tmp / "trg", outdir=tmp / "run"
    )
    aligner = Aligner(**settings)
    return aligner, aligner.fit(src, trg), tmp


def test_fit_gives_zel_aligns_links_and_aligning_again_gives_score_only(fitted, corpus):
    aligner, links, tmp = fitted
    assert links == read_links(tmp / "run" / "links.txt")
    settings = {"decoding": aligner.settings["decoding"], "quiet": True}
    bidirectional.align_both(
        settings,
        src_path=tmp / "src",
        trg_path=tmp / "trg",
        outdir=tmp / "scored",
        score_only=tmp / "run",
        write_link_posteriors=True,
    )
    scored = []
    for line in (tmp / "scored" / "links.posteriors.txt").read_text().splitlines():
        tokens = line.split()
        pairs = zip(tokens[::2], tokens[1::2], strict=True)
        scored.append([(*map(int, link.split("-")), float(p)) for link, p in pairs])
    again = aligner.align_batch(*corpus, posteriors=True)
    assert again == scored
    saved = aligner.save(tmp / "saved")
    loaded = Aligner.load(saved, decoding=aligner.settings["decoding"], quiet=True)
    assert loaded.align_batch(*corpus) == [[(i, j) for i, j, _ in pair] for pair in scored]


def test_words_given_as_lists_and_threads_at_once_align_alike(fitted, corpus):
    aligner = fitted[0]
    src, trg = corpus
    expected = aligner.align_batch(src, trg)
    tokens = aligner.align_batch([s.split(" ") for s in src], [t.split(" ") for t in trg])
    assert tokens == expected
    with ThreadPoolExecutor(4) as pool:
        parts = list(pool.map(lambda k: aligner.align_batch(src[k::4], trg[k::4]), range(4)))
    assert [parts[k % 4][k // 4] for k in range(len(src))] == expected
    assert aligner.align(src[0], trg[0]) == aligner.align_batch(src[:1], trg[:1])[0]


def test_words_the_model_never_saw_align_within_their_pairs(fitted):
    links = fitted[0].align_batch(["zzyzx qqq"], ["wwv"])
    assert all(i < 2 and j < 1 for i, j in links[0])


@pytest.mark.parametrize(
    ("src", "trg", "error", "match"),
    [
        (["a"], ["b", "c"], ValueError, "1 source sentences but 2 target"),
        ([3], ["b"], TypeError, r"src_sentences\[0\]: not a string or a list of words \(int\)"),
        (["a\nb"], ["c"], ValueError, r"src_sentences\[0\]: a sentence holds a line break"),
        ([["a b"]], ["c"], ValueError, r"'a b' is not a word"),
        ([[b"a"]], ["c"], TypeError, r"a word is not a string \(bytes\)"),
        ("a b", ["c"], TypeError, r"src_sentences: not a list of sentences \(str\)"),
        (["\udc80"], ["c"], ValueError, r"src_sentences\[0\]: not text"),
    ],
)
def test_bad_sentences_are_named(fitted, src, trg, error, match):
    with pytest.raises(error, match=match):
        fitted[0].align_batch(src, trg)


def test_what_cannot_work_is_refused_clearly(tmp_path, fitted):
    with pytest.raises(ValueError, match="no model yet"):
        Aligner().align("a", "b")
    with pytest.raises(TypeError, match="unknown settings: iterations"):
        Aligner(iterations=3)
    with pytest.raises(ValueError, match="unknown model"):
        Aligner(model="ibm9")
    with pytest.raises(FileNotFoundError, match="no such model folder"):
        Aligner.load(tmp_path / "missing")
    with pytest.raises(FileNotFoundError, match=r"no model file src-trg\.trans\.txt"):
        Aligner.load(tmp_path)
    with pytest.raises(TypeError, match="does not pickle"):
        pickle.dumps(fitted[0])


def test_the_ibm_model_fits_but_aligns_no_new_pair(corpus):
    aligner = Aligner(model="ibm2", iteration_limit=2, quiet=True)
    links = aligner.fit(*corpus)
    assert len(links) == len(corpus[0]) and any(links)
    with pytest.raises(ValueError, match="aligning new pairs needs the HMM"):
        aligner.align("a", "b")
