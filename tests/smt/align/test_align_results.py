"""zel-align's files are one result: put in place together or not at all, never over an input,
never beside an earlier run's, and whatever stops a run (an interrupt, a memory limit) leaves
the folder as a complete run left it and says so."""

import logging as std_logging
import os
import random
import resource
import subprocess
import sys
from pathlib import Path

import pytest

from zel.common import command
from zel.smt.align import bidirectional, hmm_road

TOY = Path(__file__).resolve().parents[3] / "data" / "toy"
PAIRS = [("a b c", "x y z"), ("a b", "x y"), ("c a", "z x"), ("b", "y")]


def corpus(folder):
    src, trg = folder / "c.src", folder / "c.trg"
    src.write_text("".join(s + "\n" for s, _ in PAIRS))
    trg.write_text("".join(t + "\n" for _, t in PAIRS))
    return src, trg


def snapshot(folder):
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


def align(src, trg, outdir, **settings):
    conf = {"src_path": src, "trg_path": trg, "outdir": outdir, "quiet": True}
    return bidirectional.align_both(conf, **settings)


@pytest.mark.parametrize(
    ("name", "settings"),
    [
        ("links.txt", {}),
        ("src-trg.jumps.txt", {"decoding": "viterbi"}),
        ("trg-src.decoded.txt", {"model": "ibm2"}),
        ("src-trg.scores.txt", {"score_only": "model"}),
        ("corpus.src.txt", {"input_path": "pairs.txt"}),
    ],
)
def test_an_input_among_the_outputs_is_refused_before_anything_is_written(tmp_path, name, settings):
    src, trg = corpus(tmp_path)
    if "score_only" in settings:
        align(src, trg, tmp_path / "model")
        settings["score_only"] = tmp_path / "model"
    out = tmp_path / "o"
    out.mkdir()
    given = out / name
    given.write_text("".join(f"{s} ||| {t}\n" for s, t in PAIRS))
    if "input_path" in settings:
        settings["input_path"] = given
    else:
        src = given
    with pytest.raises(ValueError, match=f"output file .*{name} is the input file"):
        align(src, trg, out, **settings)
    assert snapshot(out) == {name: given.read_bytes()}


class Interrupting:
    """An aligner whose training is interrupted: after it is done, or before it begins."""

    def __init__(self, aligner, after_training):
        self.aligner, self.after_training = aligner, after_training

    def train(self):
        if self.after_training:
            self.aligner.train()
        raise KeyboardInterrupt

    def __getattr__(self, name):
        return getattr(self.aligner, name)


@pytest.mark.parametrize("after_training", [True, False])
def test_an_interrupt_in_training_gives_a_whole_result_or_none(
    tmp_path, monkeypatch, caplog, after_training
):
    src, trg = corpus(tmp_path)
    out = tmp_path / "o"
    align(src, trg, out, hmm_iterations=1)
    (out / "src-trg.align.txt").write_text("an IBM run's file\n")
    earlier = snapshot(out)
    want = snapshot(align(src, trg, tmp_path / "whole")["final"].parent)
    made = hmm_road._aligner
    monkeypatch.setattr(
        hmm_road, "_aligner", lambda settings: Interrupting(made(settings), after_training)
    )
    raised = command.Interrupted if after_training else KeyboardInterrupt
    # What a killed run left is told, and left alone.
    (out / ".zel-run.killed.part").mkdir()
    with caplog.at_level(std_logging.WARNING, logger="zel"), pytest.raises(raised) as caught:
        align(src, trg, out)
    assert "ended before putting them in place (.zel-run.killed.part)" in caplog.text
    (out / ".zel-run.killed.part").rmdir()
    if after_training:
        # The files of the finished model, with no file of the earlier run beside them.
        assert snapshot(out) == want
    else:
        assert type(caught.value) is KeyboardInterrupt
        assert snapshot(out) == earlier
        assert "before the first HMM iteration" in caplog.text
        assert "no file of this run was written" in caplog.text


@pytest.mark.parametrize("interrupts", [1, 2])
def test_interrupts_while_writing_finish_the_files_or_keep_the_earlier_run(
    tmp_path, monkeypatch, caplog, interrupts
):
    src, trg = corpus(tmp_path)
    out = tmp_path / "o"
    align(src, trg, out)
    earlier = snapshot(out)
    settings = {"threshold": 0.0, "save_scores": True}
    want = snapshot(align(src, trg, tmp_path / "whole", **settings)["final"].parent)
    write = hmm_road._write_links
    calls = []

    def interrupted_write(aligner, settings, paths):
        write(aligner, settings, paths)
        calls.append(paths)
        if len(calls) <= interrupts:
            raise KeyboardInterrupt

    monkeypatch.setattr(hmm_road, "_write_links", interrupted_write)
    raised = command.Interrupted if interrupts == 1 else KeyboardInterrupt
    with caplog.at_level(std_logging.WARNING, logger="zel"), pytest.raises(raised) as caught:
        align(src, trg, out, **settings)
    assert type(caught.value) is raised
    if interrupts == 1:
        assert snapshot(out) == want
    else:
        assert snapshot(out) == earlier
        assert "no file of this run was written" in caplog.text


def limited(megabytes):
    def cap():
        limit = megabytes * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

    return cap


def generated_corpus(folder, pairs=8000, words=3000):
    rng = random.Random(7)
    lines = {"src": [], "trg": [], "links": []}
    for _ in range(pairs):
        n = rng.randint(8, 24)
        lines["src"].append(" ".join(f"s{int(rng.paretovariate(0.8)) % words}" for _ in range(n)))
        lines["trg"].append(" ".join(f"t{int(rng.paretovariate(0.8)) % words}" for _ in range(n)))
        lines["links"].append(" ".join(f"{i}-{i}" for i in range(n)))
    for name, text in lines.items():
        (folder / f"c.{name}").write_text("".join(line + "\n" for line in text))


@pytest.mark.parametrize(
    "argv",
    [
        ["zel-align", "c.src", "c.trg", "o"],
        ["zel-extract", "c.src", "c.trg", "c.links", "o/t.gz", "--temp-dir", "o"],
    ],
)
def test_a_memory_limit_ends_a_run_with_an_error_that_says_so(tmp_path, argv):
    # From a limit the interpreter barely starts in, up to one the run fits in: whatever stage
    # each limit stops, on two threads, the run ends with one error line and writes nothing.
    generated_corpus(tmp_path)
    out = tmp_path / "o"
    for megabytes in range(150, 1000, 5):
        out.mkdir()
        result = subprocess.run(
            [str(Path(sys.executable).parent / argv[0]), *argv[1:]],
            cwd=tmp_path,
            capture_output=True,
            text=True,
            env=dict(os.environ, ZEL_THREADS="2"),
            preexec_fn=limited(megabytes),
            timeout=600,
        )
        assert result.returncode in (0, 1), (megabytes, result.stderr)
        if result.returncode == 0:
            break
        errors = [line for line in result.stderr.splitlines() if " ERROR " in line]
        assert len(errors) == 1 and errors[0].split(": ", 1)[1].strip(), result.stderr
        assert ".part" not in errors[0] and "Traceback" not in result.stderr, result.stderr
        assert not list(out.iterdir()), megabytes
        out.rmdir()
    else:
        pytest.fail("no limit let the run finish")
