import logging as std_logging
import random
import re

import numpy as np
import pytest
from smt.align.reference import Model2Reference, load, score_from_files

from zel.smt.align import emalign


def write_corpus(tmp_path, seed, *, character=False, crlf=False, extra_target=0):
    rng = random.Random(seed)
    vocab_src = [f"s{i}" for i in range(12)] + ["é", "日本"]
    vocab_trg = [f"t{i}" for i in range(10)] + ["ü"]
    letters_src, letters_trg = "abcdé ", "xyzü "
    end = "\r\n" if crlf else "\n"
    src_lines, trg_lines = [], []
    for _ in range(40):
        n, m = rng.randint(0, 6), rng.randint(0, 6)
        if character:
            src_lines.append("".join(rng.choice(letters_src) for _ in range(n)))
            trg_lines.append("".join(rng.choice(letters_trg) for _ in range(m)))
        else:
            # Few words, so repeats inside a sentence are common; double spaces make empty words.
            src_lines.append(
                " ".join(rng.choice(vocab_src[: rng.randint(2, 14)]) for _ in range(n))
            )
            trg_lines.append(
                "  ".join(rng.choice(vocab_trg) for _ in range(m))
                if m % 5 == 4
                else " ".join(rng.choice(vocab_trg) for _ in range(m))
            )
    trg_lines += [f"t{i}" for i in range(extra_target)]
    src, trg = tmp_path / "corpus.src", tmp_path / "corpus.trg"
    src.write_bytes(end.join(src_lines).encode() + end.encode())
    trg.write_bytes(end.join(trg_lines).encode() + end.encode())
    return src, trg


def logged_entropies(messages):
    pattern = re.compile(r"^(?:initial )?entropy: (.*)$")
    return [float(m.group(1)) for m in map(pattern.match, messages) if m]


CASES = {
    "words": {},
    "characters": {"character": True},
    "crlf": {"crlf": True},
    "longer target file": {"extra_target": 5},
}


SAVING = {
    "defaults": (0.001, 8, None),
    "negative threshold writes implicit zeros": (-1.0, 1000, None),
    "zero threshold, nbest 1": (0.0, 1, None),
    "negative nbest, cells looked up": (0.001, -3, "0"),
    "nbest 0": (0.001, 0, "0"),
    "part of the cells indexed": (0.001, 8, "0.0005"),
}


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("saving", SAVING)
def test_training_matches_dense_formulation(tmp_path, caplog, monkeypatch, case, saving):
    options = CASES[case]
    threshold, nbest, index_budget = SAVING[saving]
    if index_budget is not None:
        monkeypatch.setenv("ZEL_PAIR_INDEX_BUDGET_MB", index_budget)
    seed = len(case) + len(saving)
    src, trg = write_corpus(tmp_path, seed, **options)
    train_and_compare(
        tmp_path, caplog, src, trg, options.get("character", False), 4, threshold, nbest
    )


def train_and_compare(tmp_path, caplog, src, trg, character, limit, threshold, nbest):
    """Trains with zel and with the dense formulation; returns zel's log messages."""
    out = {name: tmp_path / f"{name}.txt" for name in ("trans", "align", "scores", "decode")}
    conf = {
        "src_path": str(src),
        "trg_path": str(trg),
        "character": character,
        "iteration_limit": limit,
        "save_trans_path": str(out["trans"]),
        "save_align_path": str(out["align"]),
        "threshold": threshold,
        "nbest": nbest,
        "save_scores": str(out["scores"]),
        "decode_align": str(out["decode"]),
    }
    with caplog.at_level(std_logging.INFO), np.errstate(all="ignore"):
        assert emalign.train_emalign(conf) is True
        pairs, src_words, trg_words = load(src, trg, character)
        ref = Model2Reference(pairs, len(src_words), len(trg_words))
        ref.train(limit)
        expected = {
            "trans": ref.trans_lines(src_words, trg_words, threshold, nbest),
            "align": ref.align_lines(threshold),
            "scores": ref.score_lines(),
            "decode": ref.decode_lines(),
        }
    np.testing.assert_allclose(logged_entropies(caplog.messages), ref.entropies, rtol=1e-12)
    for name, path in out.items():
        assert path.read_text(encoding="utf-8") == expected[name], name
    return caplog.messages


# Corpora whose entropy stops falling before the limit: the E-step computed ahead of the
# decision is undone, and the counts written are those of the last step kept.
@pytest.mark.parametrize(
    ("src_lines", "trg_lines", "steps"),
    [
        (["d a", "a d", "d", "d d a"], ["z w x z x", "y z", "y z x y z", "w"], (1, 6)),
        (
            ["b c", "a b", "d a", "b d b a b", "a b d d a"],
            ["w z w w z", "x", "w", "z y z", "x y"],
            (6, 5),
        ),
    ],
)
def test_training_that_stops_early_matches_dense_formulation(
    tmp_path, caplog, src_lines, trg_lines, steps
):
    src, trg = tmp_path / "corpus.src", tmp_path / "corpus.trg"
    src.write_text("\n".join(src_lines) + "\n", encoding="utf-8")
    trg.write_text("\n".join(trg_lines) + "\n", encoding="utf-8")
    messages = train_and_compare(tmp_path, caplog, src, trg, False, 6, 0.0, 100)
    model2 = messages.index("start training IBM Model 2")
    taken = [
        sum(m.startswith("step: ") for m in part) for part in (messages[:model2], messages[model2:])
    ]
    assert tuple(taken) == steps


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("with_align", [True, False])
def test_scoring_matches_dense_formulation(tmp_path, case, with_align):
    options = CASES[case]
    src, trg = write_corpus(tmp_path, 7, **options)
    character = options.get("character", False)
    trans, align = tmp_path / "trans.txt", tmp_path / "align.txt"
    common = {"src_path": str(src), "trg_path": str(trg), "character": character}
    # Empty sides (character mode) give NaN scores; the array library's warnings are off.
    with np.errstate(all="ignore"):
        emalign.train_emalign(
            common,
            iteration_limit=3,
            save_trans_path=str(trans),
            save_align_path=str(align),
            threshold=0.01,
            nbest=5,
            save_scores=None,
            decode_align=None,
        )
        scores, decoded = tmp_path / "scores.txt", tmp_path / "decoded.txt"
        align_path = str(align) if with_align else None
        assert emalign.score_ibm_model(
            common,
            trans_path=str(trans),
            align_path=align_path,
            save_scores=str(scores),
            decode_align=str(decoded),
        )
    with np.errstate(all="ignore"):
        ref = score_from_files(src, trg, trans, align_path, character)
        assert scores.read_text(encoding="utf-8") == ref.score_lines()
        assert decoded.read_text(encoding="utf-8") == ref.decode_lines()


def test_scoring_unseen_words_without_an_alignment_file_matches_dense_formulation(tmp_path):
    # Training and scored corpora differ: words the translation file lacks keep uniform rows,
    # and with no alignment file every pair is scored with the uniform alignment of set-up.
    train_dir, test_dir = tmp_path / "train", tmp_path / "test"
    train_dir.mkdir()
    test_dir.mkdir()
    src, trg = write_corpus(train_dir, 11)
    test_src, test_trg = write_corpus(test_dir, 12)
    test_src.write_text(test_src.read_text() + "unseen s1 s2 s3 s4 s5 s6 s7 s8 s9\n")
    test_trg.write_text(test_trg.read_text() + "t1 novel t2 t3 t4 t5 t6 t7 t8 t9 t0\n")
    trans, scores = tmp_path / "trans.txt", tmp_path / "scores.txt"
    with np.errstate(all="ignore"):
        emalign.train_emalign(
            {"src_path": str(src), "trg_path": str(trg)},
            iteration_limit=3,
            save_trans_path=str(trans),
            save_align_path=None,
            threshold=0.001,
            nbest=100,
            save_scores=None,
            decode_align=None,
        )
        conf = {"src_path": str(test_src), "trg_path": str(test_trg)}
        assert emalign.score_ibm_model(
            conf, trans_path=str(trans), align_path=None, save_scores=str(scores)
        )
        ref = score_from_files(test_src, test_trg, trans, None)
        assert scores.read_text(encoding="utf-8") == ref.score_lines()
