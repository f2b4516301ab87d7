"""Every output of training and scoring is the same, byte for byte, for any thread count and
with or without the pair index."""

import subprocess
import sys
from pathlib import Path

import pytest

from zel.common import threads
from zel.smt.align import bidirectional, emalign

CORPORA = {
    # Repeated words within and across pairs, an empty line on each side, more pairs than
    # one block of the threads' work.
    "words": (
        lambda k: " ".join(f"s{(k * 7 + i) % 23}" for i in range(k % 9)),
        lambda k: " ".join(f"t{(k * 5 + i * i) % 19}" for i in range((k * 3) % 11)),
        5000,
        False,
    ),
    "characters": (
        lambda k: "".join(chr(97 + (k + i) % 7) for i in range(k % 6)),
        lambda k: "".join(chr(65 + (k * i) % 5) for i in range((k + 2) % 5)),
        300,
        True,
    ),
}


def outputs(tmp_path, name, count, budget, monkeypatch):
    make_src, make_trg, pairs, character = CORPORA[name]
    src, trg = tmp_path / "c.src", tmp_path / "c.trg"
    src.write_text("".join(make_src(k) + "\n" for k in range(pairs)))
    trg.write_text("".join(make_trg(k) + "\n" for k in range(pairs)))
    threads.set_threads(count)
    monkeypatch.setenv("ZEL_PAIR_INDEX_BUDGET_MB", budget)
    out = tmp_path / f"{count}-{budget}"
    out.mkdir()
    files = {key: str(out / key) for key in ("trans", "align", "scores", "decoded", "s2", "d2")}
    common = {"src_path": str(src), "trg_path": str(trg), "character": character}
    emalign.train_emalign(
        common,
        iteration_limit=3,
        threshold=0.0,
        nbest=1000,
        save_trans_path=files["trans"],
        save_align_path=files["align"],
        save_scores=files["scores"],
        decode_align=files["decoded"],
    )
    emalign.score_ibm_model(
        common,
        trans_path=files["trans"],
        align_path=files["align"],
        save_scores=files["s2"],
        decode_align=files["d2"],
    )
    return {key: Path(path).read_bytes() for key, path in files.items()}


@pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")
@pytest.mark.parametrize("name", sorted(CORPORA))
def test_outputs_do_not_depend_on_threads_or_the_pair_index(tmp_path, monkeypatch, name):
    monkeypatch.delenv(threads.VARIABLE, raising=False)
    try:
        baseline = outputs(tmp_path, name, 1, "1024", monkeypatch)
        assert all(baseline.values())
        # A budget of a few KiB keeps only some source words' positions in the index.
        for count, budget in [(2, "1024"), (3, "0"), (8, "1024"), (1, "0.02"), (2, "0.02")]:
            assert outputs(tmp_path, name, count, budget, monkeypatch) == baseline, (count, budget)
    finally:
        threads.set_threads(None)


@pytest.mark.parametrize(("count", "error"), [(0, ValueError), (1.5, TypeError), (True, TypeError)])
def test_thread_counts_are_checked(count, error):
    with pytest.raises(error):
        threads.set_threads(count)


def test_a_child_made_by_fork_trains_on_threads_too(tmp_path):
    # The parent's worker threads do not exist in the child; it must not wait for them.
    code = """
import os
from zel.smt.align import bidirectional, emalign
open("c.src", "w").write("a b\\nb c\\n" * 3000)
open("c.trg", "w").write("x y\\ny z\\n" * 3000)
conf = dict(src_path="c.src", trg_path="c.trg", iteration_limit=2, save_trans_path="t.txt",
            save_align_path=None, threshold=0.0, nbest=10, save_scores=None, decode_align=None)
os.environ["ZEL_THREADS"] = "2"
emalign.train_emalign(conf)
pid = os.fork()
if pid == 0:
    emalign.train_emalign(conf, save_trans_path="child.txt")
    os._exit(0)
assert os.waitpid(pid, 0)[1] == 0
assert open("child.txt").read() == open("t.txt").read()
"""
    result = subprocess.run(
        [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("value", ["0", "abc", "1.5", "-2"])
def test_a_thread_count_that_is_not_a_positive_integer_is_refused(tmp_path, monkeypatch, value):
    (tmp_path / "s").write_text("a b\n")
    (tmp_path / "t").write_text("x\n")
    monkeypatch.setenv("ZEL_THREADS", value)
    with pytest.raises(ValueError, match=f"ZEL_THREADS must be a positive whole number.*'{value}'"):
        threads.get_threads()
    conf = {"src_path": str(tmp_path / "s"), "trg_path": str(tmp_path / "t"), "iteration_limit": 1}
    conf.update(save_trans_path=str(tmp_path / "o"), save_align_path=None, threshold=0.0, nbest=9)
    with pytest.raises(RuntimeError, match=f"ValueError: ZEL_THREADS must .*'{value}'"):
        emalign.train_emalign(conf, save_scores=None, decode_align=None)


@pytest.mark.parametrize("road", ["ibm", "hmm"])
def test_a_pair_index_budget_that_is_not_a_number_is_refused(tmp_path, monkeypatch, road):
    (tmp_path / "s").write_text("a b\n")
    (tmp_path / "t").write_text("x\n")
    monkeypatch.setenv("ZEL_PAIR_INDEX_BUDGET_MB", "lots")
    conf = {"src_path": str(tmp_path / "s"), "trg_path": str(tmp_path / "t"), "iteration_limit": 1}
    with pytest.raises(
        (ValueError, RuntimeError),
        match="ZEL_PAIR_INDEX_BUDGET_MB must be a number of MiB, not 'lots'",
    ):
        if road == "ibm":
            conf.update(save_trans_path=str(tmp_path / "o"), save_align_path=None, threshold=0.0)
            emalign.train_emalign(conf, nbest=9, save_scores=None, decode_align=None)
        else:
            bidirectional.align_both(conf, outdir=tmp_path / "o")
