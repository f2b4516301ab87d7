import logging as std_logging
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from zel.common.config import Config
from zel.smt.align import emalign


@pytest.fixture
def corpus(tmp_path):
    src, trg = tmp_path / "c.src", tmp_path / "c.trg"
    src.write_text("a b\na\nb c a\nc\n", encoding="utf-8")
    trg.write_text("x y\nx\ny z x\nz\n", encoding="utf-8")
    return src, trg


def train_conf(tmp_path, corpus, **settings):
    src, trg = corpus
    conf = {
        "src_path": str(src),
        "trg_path": str(trg),
        "character": False,
        "iteration_limit": 3,
        "save_trans_path": str(tmp_path / "trans.txt"),
        "save_align_path": None,
        "threshold": 0.001,
        "nbest": 100,
        "save_scores": None,
        "decode_align": None,
    }
    conf.update(settings)
    return conf


def test_only_the_translation_file_by_default(tmp_path, corpus, caplog):
    with caplog.at_level(std_logging.INFO, logger="zel"):
        assert emalign.train_emalign(train_conf(tmp_path, corpus)) is True
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.src", "c.trg", "trans.txt"]
    tail = caplog.messages[-3:]
    assert tail[0] == "----" and tail[2] == "----"
    assert tail[1].startswith("storing translation probabilities into file (threshold=0.001): ")
    assert caplog.messages.count("start training IBM Model 1") == 1


def test_every_output_and_keyword_override(tmp_path, corpus):
    conf = Config(train_conf(tmp_path, corpus, save_align_path=str(tmp_path / "align.txt")))
    assert emalign.train_emalign(
        conf, nbest=1, save_scores=str(tmp_path / "s.txt"), decode_align=str(tmp_path / "d.txt")
    )
    trans = (tmp_path / "trans.txt").read_text().splitlines()
    sources = [line.split("\t")[0] for line in trans]
    assert len(sources) == len(set(sources)), "nbest=1 keeps one target word per source word"
    assert len((tmp_path / "s.txt").read_text().splitlines()) == 4
    decoded = (tmp_path / "d.txt").read_text().splitlines()
    assert [len(line.split()) for line in decoded] == [2, 1, 3, 1]
    assert (tmp_path / "align.txt").stat().st_size > 0


def test_iteration_limit_zero_fails_writing_the_translation_file(tmp_path, corpus, caplog):
    with caplog.at_level(std_logging.INFO, logger="zel"):
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            emalign.train_emalign(train_conf(tmp_path, corpus, iteration_limit=0))
    assert (tmp_path / "trans.txt").read_text() == ""
    assert not any(m.startswith("step:") for m in caplog.messages)


def test_training_error_is_logged_and_outputs_still_written(tmp_path, corpus, caplog):
    conf = train_conf(tmp_path, corpus, iteration_limit=2.5)
    with caplog.at_level(std_logging.INFO, logger="zel"):
        with pytest.raises(TypeError):  # no E-step ran: the counts are missing when saving
            emalign.train_emalign(conf)
    errors = [r for r in caplog.records if r.levelno == std_logging.ERROR]
    assert len(errors) == 1 and errors[0].exc_info is not None
    assert "cannot be interpreted as an integer" in errors[0].getMessage()


def test_missing_corpus_is_logged_then_saving_fails(tmp_path, corpus, caplog):
    conf = train_conf(tmp_path, corpus, src_path=str(tmp_path / "missing.src"))
    with caplog.at_level(std_logging.INFO, logger="zel"):
        with pytest.raises(TypeError):
            emalign.train_emalign(conf)
    errors = [r for r in caplog.records if r.levelno == std_logging.ERROR]
    assert "missing.src" in errors[0].getMessage()


def test_unwritable_output_path(tmp_path, corpus):
    conf = train_conf(tmp_path, corpus, save_trans_path=str(tmp_path / "no" / "dir" / "t.txt"))
    with pytest.raises(FileNotFoundError):
        emalign.train_emalign(conf)


def test_missing_required_key(tmp_path, corpus):
    conf = train_conf(tmp_path, corpus)
    del conf["nbest"]
    with pytest.raises(AttributeError):
        emalign.train_emalign(conf)


def test_check_train_config_logs_the_configuration(caplog):
    with caplog.at_level(std_logging.DEBUG, logger="zel"):
        assert emalign.check_train_config(Config({"a": 1})) is True
    assert caplog.messages == ["conf => Config(a=1)"]


@pytest.fixture
def trained(tmp_path, corpus):
    # A negative threshold writes every entry, so scoring rebuilds the trained model exactly
    # (up to the 8 decimals of the file).
    conf = train_conf(tmp_path, corpus, save_align_path=str(tmp_path / "align.txt"), threshold=-1.0)
    emalign.train_emalign(conf, save_scores=str(tmp_path / "train_scores.txt"))
    return tmp_path, corpus


def score_conf(tmp_path, corpus, **settings):
    src, trg = corpus
    conf = {
        "src_path": str(src),
        "trg_path": str(trg),
        "trans_path": str(tmp_path / "trans.txt"),
        "align_path": str(tmp_path / "align.txt"),
        "save_scores": None,
        "decode_align": None,
        "character": False,
    }
    conf.update(settings)
    return conf


def test_scoring_needs_an_output(trained, caplog):
    tmp_path, corpus = trained
    with caplog.at_level(std_logging.INFO, logger="zel"):
        assert emalign.score_ibm_model(score_conf(tmp_path, corpus)) is False
    assert caplog.messages == [
        "At least one of following arguments is necessary:",
        "* --save-scores | --scores | -s",
        "* --decode-align | --decode | -d",
    ]


@pytest.mark.parametrize("align", [True, False])
def test_scoring_writes_scores_and_alignments(trained, align):
    tmp_path, corpus = trained
    conf = score_conf(tmp_path, corpus, align_path=str(tmp_path / "align.txt") if align else None)
    out = tmp_path / "scored.txt"
    assert emalign.score_ibm_model(conf, save_scores=str(out), decode_align=str(tmp_path / "d.txt"))
    scores = [float(v) for v in out.read_text().splitlines()]
    trained_scores = [float(v) for v in (tmp_path / "train_scores.txt").read_text().splitlines()]
    assert len(scores) == len(trained_scores) == 4
    if align:
        # The stored probabilities are rounded to 8 decimals: scores agree closely.
        assert scores == pytest.approx(trained_scores, rel=1e-4, abs=1e-6)
    assert len((tmp_path / "d.txt").read_text().splitlines()) == 4


def test_scoring_skips_malformed_lines_and_keeps_file_only_words(trained):
    tmp_path, corpus = trained
    trans = tmp_path / "trans.txt"
    trans.write_text(
        trans.read_text() + "only\tfile\t0.5\n2 fields\tonly\nfive\tf\ti\te\tlds\n",
        encoding="utf-8",
    )
    align = tmp_path / "align.txt"
    align.write_text(align.read_text() + "1\t1\t1\n1\t1\t1\t0\t0.5\t1\t7\n", encoding="utf-8")
    conf = score_conf(tmp_path, corpus, decode_align=str(tmp_path / "d.txt"))
    assert emalign.score_ibm_model(conf)
    assert len((tmp_path / "d.txt").read_text().splitlines()) == 4


def test_scoring_errors_are_logged_and_true_returned(trained, caplog):
    tmp_path, corpus = trained
    (tmp_path / "bad_align.txt").write_text("1\t1\t1\tx\t0.5\n", encoding="utf-8")
    conf = score_conf(tmp_path, corpus, align_path=str(tmp_path / "bad_align.txt"))
    with caplog.at_level(std_logging.INFO, logger="zel"):
        assert emalign.score_ibm_model(conf, save_scores=str(tmp_path / "s.txt")) is True
    errors = [r for r in caplog.records if r.levelno == std_logging.ERROR]
    assert len(errors) == 1
    assert "invalid literal for int() with base 10: 'x'" in errors[0].getMessage()
    assert "bad_align.txt, line 1" in errors[0].getMessage()
    assert not (tmp_path / "s.txt").exists()


def script(name):
    """A console script of the environment running the tests."""
    return str(Path(sys.executable).parent / name)


def test_train_command_line(trained):
    tmp_path, (src, trg) = trained
    result = subprocess.run(
        [
            script("zel-train"),
            str(src),
            str(trg),
            "t.txt",
            "--scores",
            "s.txt",
            "-d",
            "d.txt",
            "-t",
            "0",
            "-n",
            "1",
            "-q",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == "", "quiet hides every stage message"
    assert not (tmp_path / "align.txt.new").exists()
    assert len((tmp_path / "d.txt").read_text().splitlines()) == 4


def test_score_command_line_debug_and_quiet(trained):
    tmp_path, (src, trg) = trained
    result = subprocess.run(
        [
            script("zel-score"),
            str(src),
            str(trg),
            "trans.txt",
            "-d",
            "d2.txt",
            "--debug",
            "--quiet",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert (tmp_path / "d2.txt").exists()


def test_parser_defaults_follow_the_module_constants(monkeypatch):
    monkeypatch.setattr(emalign, "NBEST", 7)
    args = emalign.create_train_parser().parse_args(["s", "t", "o"])
    assert (args.nbest, args.iteration_limit, args.threshold) == (7, 5, 0.001)
    assert args.save_align_path is None and not args.debug and not args.quiet
    helps = {a.dest: a.help for a in emalign.create_train_parser()._actions}
    assert helps["nbest"] == 'limit number of records to save, taking top-n of "p(trg|src)"'
    assert helps["character"] == "chacacter based alignment mode"
    assert "(default: 5)" in emalign.create_train_parser().format_help()


def test_interrupt_during_training_still_writes_every_file(tmp_path):
    src, trg = tmp_path / "big.src", tmp_path / "big.trg"
    import random

    rng = random.Random(3)
    words = [f"w{i}" for i in range(3000)]
    with open(src, "w") as fs, open(trg, "w") as ft:
        for _ in range(30000):
            fs.write(" ".join(rng.choices(words, k=rng.randint(5, 30))) + "\n")
            ft.write(" ".join(rng.choices(words, k=rng.randint(5, 30))) + "\n")
    env = dict(os.environ, ZEL_PAIR_INDEX_BUDGET_MB="0")  # slower steps: time to interrupt
    proc = subprocess.Popen(
        [
            script("zel-train"),
            str(src),
            str(trg),
            "t.txt",
            "a.txt",
            "-s",
            "s.txt",
            "-d",
            "d.txt",
            "-I",
            "3",
        ],
        cwd=tmp_path,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    seen = []
    for line in proc.stderr:
        seen.append(line)
        # Interrupt the second Model 2 step, so its first one has changed the alignments.
        if "step: 2 / 3" in line and any("IBM Model 2" in s for s in seen):
            proc.send_signal(signal.SIGINT)
            break
    _, rest = proc.communicate(timeout=300)
    log = "".join(seen) + rest
    assert proc.returncode == 0, log
    assert "interuppted by keyboard" in log and "forcing to dump alignments and scores" in log
    for name in ("t.txt", "a.txt", "s.txt", "d.txt"):
        assert (tmp_path / name).stat().st_size > 0, name
    assert len((tmp_path / "d.txt").read_text().splitlines()) == 30000


def test_none_configuration_reaches_the_missing_key(tmp_path):
    # An empty configuration trains nothing (the corpus paths are missing: logged), then the
    # first saving step finds no output path.
    with pytest.raises(AttributeError, match="save_trans_path"):
        emalign.train_emalign(None, iteration_limit=1)
