"""What a run leaves behind when it fails, is interrupted or is given settings that keep
nothing: files complete or untouched, exit statuses and warnings that tell the truth."""

import logging as std_logging
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from smt.align.test_pipelines import train_conf

from zel.common import progress
from zel.smt.align import emalign

TOY = Path(__file__).resolve().parents[3] / "data" / "toy"


def script(name):
    return str(Path(sys.executable).parent / name)


@pytest.fixture
def pair_files(tmp_path):
    src, trg = tmp_path / "c.src", tmp_path / "c.trg"
    src.write_text("a b\na\nb c a\nc\n")
    trg.write_text("x y\nx\ny z x\nz\n")
    return src, trg


def test_an_interrupt_while_writing_keeps_the_lines_written_and_says_so(
    tmp_path, monkeypatch, caplog
):
    # The toy corpus is two blocks of pairs: the interrupt lands between them.
    armed = []
    advance = progress.Bar.advance

    def interrupting(self, n=1):
        advance(self, n)
        if armed:
            armed.clear()
            signal.raise_signal(signal.SIGINT)

    monkeypatch.setattr(progress.Bar, "advance", interrupting)
    scores = tmp_path / "s.txt"
    scores.write_text("earlier\n")
    conf = train_conf(tmp_path, (TOY / "train.src", TOY / "train.trg"), iteration_limit=1)

    class Arm(std_logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith("calculating and storing"):
                armed.append(True)

    handler = Arm()
    std_logging.getLogger("zel").addHandler(handler)
    try:
        with caplog.at_level(std_logging.INFO, logger="zel"), pytest.raises(KeyboardInterrupt):
            emalign.train_emalign(conf, save_scores=str(scores))
    finally:
        std_logging.getLogger("zel").removeHandler(handler)
    assert len(scores.read_text().splitlines()) == 2048
    assert f"{scores} is incomplete: it holds the 2,048 lines written before the error" in (
        caplog.messages
    )


@pytest.mark.parametrize(
    ("argv", "stderr_has"),
    [
        (["zel-train", "c.src", "c.trg", "t.txt", "-s", "/dev/full"], "device: '/dev/full'"),
        (["zel-train", "nosuch", "c.trg", "keep.txt"], "nothing was written: training ended"),
        (["zel-train", "c.src", "c.trg", "c.src"], "output file c.src is the input file c.src"),
        (["zel-score", "nosuch", "c.trg", "keep.txt", "-s", "s.txt"], "No such file"),
        (["zel-score", "c.src", "c.trg", "keep.txt", "keep.txt", "-s", "s.txt"], "IndexError"),
        (["zel-symmetrize", "keep.txt", "keep.txt", "keep.txt"], "is the input file"),
    ],
)
def test_a_failed_command_exits_1_and_leaves_earlier_files(tmp_path, pair_files, argv, stderr_has):
    (tmp_path / "keep.txt").write_text("a\tb\t0.5\n99999\t1\t1\t0\t0.5\n")
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    result = subprocess.run(
        [script(argv[0]), *argv[1:], "-q"], cwd=tmp_path, capture_output=True, text=True
    )
    assert result.returncode == 1, result.stderr
    assert stderr_has in result.stderr
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir() if p.name in before} == before
    assert not [p for p in tmp_path.iterdir() if p.name.endswith(".part")]


@pytest.mark.parametrize(
    ("settings", "warning"),
    [
        ({"threshold": 2.0}, "threshold 2.0 keeps no entry"),
        ({"threshold": float("nan")}, "threshold nan keeps no entry"),
        ({"nbest": 0}, "nbest 0 keeps no entry"),
        ({"trg_path": "short.trg"}, "(c.src: 4 lines, short.trg: 2 lines): only the first 2"),
    ],
)
def test_settings_that_keep_nothing_are_told(
    tmp_path, pair_files, monkeypatch, caplog, settings, warning
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "short.trg").write_text("x y\nx\n")
    conf = train_conf(tmp_path, ("c.src", "c.trg"), **settings)
    with caplog.at_level(std_logging.WARNING, logger="zel"):
        assert emalign.train_emalign(conf)
    assert any(warning in m for m in caplog.messages), caplog.messages


@pytest.mark.parametrize(
    ("trans", "align", "warning"),
    [
        ("unknown\twords\t0.5\n", None, "trans.txt: no line gave a probability of this corpus"),
        ("a\tx\tnan\nb\ty\tinf\n", None, "trans.txt: 2 probabilities are NaN or infinite"),
        ("a\tx\t0.5\n", "2\t2\t0\t1\t0.5\n", "align.txt: 1 lines hold a length or position below"),
    ],
)
def test_distribution_files_that_score_nothing_usable_are_told(
    tmp_path, pair_files, caplog, trans, align, warning
):
    (tmp_path / "trans.txt").write_text(trans)
    conf = {
        "src_path": str(pair_files[0]),
        "trg_path": str(pair_files[1]),
        "trans_path": str(tmp_path / "trans.txt"),
        "align_path": None,
        "save_scores": str(tmp_path / "s.txt"),
        "decode_align": None,
    }
    if align:
        (tmp_path / "align.txt").write_text(align)
        conf["align_path"] = str(tmp_path / "align.txt")
    with caplog.at_level(std_logging.WARNING, logger="zel"):
        assert emalign.score_ibm_model(conf)
    assert any(m.startswith(str(tmp_path / warning)) for m in caplog.messages), caplog.messages


def test_file_names_that_are_not_utf8_are_written(tmp_path, pair_files):
    name = os.fsdecode(b"caf\xe9.trans")
    result = subprocess.run(
        [script("zel-train"), "c.src", "c.trg", name, "-d", name + ".d", "-q"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert os.path.getsize(tmp_path / name) > 0 and os.path.getsize(tmp_path / (name + ".d")) > 0


@pytest.mark.parametrize(
    ("src", "trg", "refused"),
    [
        # One pair long on both sides: its position pairs, refused before anything is built.
        ("a\n{w}\n", "x\n{w}\n", "the sentence pair of line 2 (100,000 x 100,000 words): "),
        # Long sentences of different pairs: the alignment table's index of lengths.
        ("{w}\na\n", "x\n{w}\n", "word alignment block index: "),
    ],
)
def test_memory_that_long_sentences_would_need_is_refused_naming_what(
    tmp_path, caplog, src, trg, refused
):
    words = " ".join(f"w{i}" for i in range(100_000))
    (tmp_path / "l.src").write_text(src.format(w=words))
    (tmp_path / "l.trg").write_text(trg.format(w=words))
    conf = train_conf(tmp_path, (tmp_path / "l.src", tmp_path / "l.trg"))
    with caplog.at_level(std_logging.ERROR, logger="zel"), pytest.raises(RuntimeError):
        emalign.train_emalign(conf)
    assert caplog.messages[0].startswith("cannot allocate " + refused)
