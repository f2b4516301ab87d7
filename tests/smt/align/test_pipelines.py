import logging as std_logging
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
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


def test_iteration_limit_zero_fails_before_the_translation_file_is_touched(
    tmp_path, corpus, caplog
):
    (tmp_path / "trans.txt").write_text("PREV\n")
    with caplog.at_level(std_logging.INFO, logger="zel"):
        with pytest.raises(TypeError, match="'NoneType' object is not subscriptable"):
            emalign.train_emalign(train_conf(tmp_path, corpus, iteration_limit=0))
    assert (tmp_path / "trans.txt").read_text() == "PREV\n"
    assert not any(m.startswith("step:") for m in caplog.messages)


@pytest.mark.parametrize(
    ("settings", "first_error"),
    [
        ({"iteration_limit": 2.5}, "TypeError: 'float' object cannot be interpreted as an integer"),
        ({"iteration_limit": 2**40}, "OverflowError: Python int too large to convert to C int"),
        ({"src_path": "missing.src"}, "FileNotFoundError: [Errno 2] No such file or directory"),
        ({"src_path": "."}, "IsADirectoryError"),
    ],
)
def test_training_that_never_made_a_model_writes_nothing_and_names_why(
    tmp_path, corpus, caplog, settings, first_error
):
    (tmp_path / "trans.txt").write_text("PREV\n")
    conf = train_conf(tmp_path, corpus, save_scores=str(tmp_path / "s.txt"), **settings)
    with caplog.at_level(std_logging.INFO, logger="zel"):
        with pytest.raises(RuntimeError, match=r"^nothing was written: ") as raised:
            emalign.train_emalign(conf)
    assert first_error in str(raised.value)
    errors = [r for r in caplog.records if r.levelno == std_logging.ERROR]
    assert len(errors) == 1 and errors[0].exc_info is not None
    assert (tmp_path / "trans.txt").read_text() == "PREV\n"
    assert not (tmp_path / "s.txt").exists()


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


def host_texts(line, integers):
    """A distribution-file line with its number fields written as only the host reads them."""
    fields = line.split("\t")
    for k in integers:
        fields[k] = " " + "_".join(fields[k]).replace("-_", "-") + "\u3000"
    k = len(integers) if integers else 2
    fields[k] = f"{float(fields[k]):.8e}".replace("e", "_0e") if "e" not in fields[k] else fields[k]
    return "\t".join(fields)


def test_distribution_files_take_the_hosts_number_texts(trained, caplog):
    tmp_path, corpus = trained
    conf = score_conf(tmp_path, corpus, decode_align=str(tmp_path / "d.txt"))
    assert emalign.score_ibm_model(conf, save_scores=str(tmp_path / "s.txt"))
    for name, integers in (("trans.txt", ()), ("align.txt", (0, 1, 2, 3))):
        lines = (tmp_path / name).read_text(encoding="utf-8").splitlines()
        (tmp_path / f"host_{name}").write_text(
            "".join(host_texts(line, integers) + "\n" for line in lines), encoding="utf-8"
        )
    conf.update(trans_path=str(tmp_path / "host_trans.txt"))
    conf.update(align_path=str(tmp_path / "host_align.txt"))
    assert emalign.score_ibm_model(conf, save_scores=str(tmp_path / "s2.txt"))
    assert (tmp_path / "s2.txt").read_text() == (tmp_path / "s.txt").read_text()
    for bad, error in (
        ("99999999999999999999\t1\t1\t0\t0.5", "index 99999999999999999999 - 1 is out of"),
        ("1\t1\t1\t0\t0.5x", "could not convert string to float: '0.5x'"),
    ):
        (tmp_path / "bad.txt").write_text(bad + "\n", encoding="utf-8")
        conf.update(align_path=str(tmp_path / "bad.txt"))
        caplog.clear()
        with caplog.at_level(std_logging.ERROR, logger="zel"):
            assert emalign.score_ibm_model(conf, save_scores=str(tmp_path / "s3.txt"))
        assert error in caplog.records[0].getMessage()


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


class InterruptAt(std_logging.Handler):
    """Sends this process SIGINT when a stage message is logged, once `after` has been: the
    signal then lands at a point of the run fixed by the messages, however loaded the machine."""

    def __init__(self, message, after):
        super().__init__()
        self.message, self.after, self.armed, self.sent = message, after, False, False

    def emit(self, record):
        text = record.getMessage()
        self.armed = self.armed or text.startswith(self.after)
        if self.armed and not self.sent and text.startswith(self.message):
            self.sent = True
            signal.raise_signal(signal.SIGINT)


@pytest.mark.parametrize(
    ("message", "after", "outcome"),
    [
        # The second Model 2 step: its first one has already changed the alignments.
        ("step: 2 / 3", "start training IBM Model 2", True),
        ("storing translation probabilities", "----", KeyboardInterrupt),
    ],
)
def test_interrupt_writes_every_file_unless_it_comes_while_saving(
    tmp_path, corpus, caplog, message, after, outcome
):
    names = ("trans.txt", "a.txt", "s.txt", "d.txt")
    conf = train_conf(
        tmp_path,
        corpus,
        save_align_path=str(tmp_path / "a.txt"),
        save_scores=str(tmp_path / "s.txt"),
        decode_align=str(tmp_path / "d.txt"),
    )
    handler = InterruptAt(message, after)
    std_logging.getLogger("zel").addHandler(handler)
    try:
        with caplog.at_level(std_logging.INFO, logger="zel"):
            if outcome is True:
                assert emalign.train_emalign(conf) is True
            else:
                with pytest.raises(outcome):
                    emalign.train_emalign(conf)
    finally:
        std_logging.getLogger("zel").removeHandler(handler)
    assert handler.sent
    interrupted = "interuppted by keyboard" in caplog.messages
    assert interrupted == (outcome is True)
    if outcome is True:
        assert "forcing to dump alignments and scores" in caplog.messages
        for name in names:
            assert (tmp_path / name).stat().st_size > 0, name
        assert len((tmp_path / "d.txt").read_text().splitlines()) == 4
    else:
        assert not any((tmp_path / name).exists() for name in names[1:])


def test_none_configuration_reaches_the_missing_key(tmp_path):
    # An empty configuration trains nothing (the corpus paths are missing: logged), then the
    # first saving step finds no output path.
    with pytest.raises(AttributeError, match="save_trans_path"):
        emalign.train_emalign(None, iteration_limit=1)


@pytest.mark.parametrize("nbest", ["2", 2.7, 1.5])
def test_a_save_setting_saving_would_refuse_fails_before_training(tmp_path, corpus, caplog, nbest):
    with caplog.at_level(std_logging.INFO, logger="zel"):
        with pytest.raises(TypeError, match="slice indices must be integers or None"):
            emalign.train_emalign(train_conf(tmp_path, corpus, nbest=nbest))
    assert not any(m.startswith("step:") for m in caplog.messages)
    assert not (tmp_path / "trans.txt").exists()


@pytest.mark.parametrize(
    ("nbest", "same_as"), [(None, 10**6), (10**20, 10**6), (-(10**20), 0), (-(2**63), 0)]
)
def test_nbest_is_taken_as_the_host_slice_takes_it(tmp_path, corpus, nbest, same_as):
    def written(n):
        emalign.train_emalign(train_conf(tmp_path, corpus, nbest=n))
        return (tmp_path / "trans.txt").read_text()

    assert written(nbest) == written(same_as)


@pytest.mark.parametrize(
    ("argv", "train_func", "message"),
    [
        (["-I", "0"], emalign.train_emalign, "'NoneType' object is not subscriptable"),
        ([], len, "object of type 'Config' has no len()"),
    ],
)
def test_train_model_passes_on_errors_raised_by_native_code(
    tmp_path, corpus, monkeypatch, argv, train_func, message
):
    src, trg = corpus
    monkeypatch.setattr(sys, "argv", ["zel-train", str(src), str(trg), "t.txt", "-q", *argv])
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as raised:
        emalign.train_model(emalign.create_train_parser(), train_func)
    assert str(raised.value) == message


def test_an_empty_corpus_is_refused_and_the_command_fails(tmp_path):
    for name in ("e.src", "e.trg"):
        (tmp_path / name).write_text("")
    result = subprocess.run(
        [script("zel-train"), "e.src", "e.trg", "t.txt", "-q"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
    )
    assert result.returncode != 0
    assert result.stderr.strip().endswith(
        "the parallel corpus is empty: no sentence pairs in e.src and e.trg"
    )
    assert not (tmp_path / "t.txt").exists()


def train_in_capped_process(tmp_path, src_text, trg_text, headroom_mb, **env):
    """Trains in a child process that may grow by `headroom_mb` only, logging at debug level;
    its stderr."""
    (tmp_path / "m.src").write_text(src_text)
    (tmp_path / "m.trg").write_text(trg_text)
    code = f"""
import logging, resource
from zel.smt.align import emalign
logging.getLogger("zel").setLevel(logging.DEBUG)
status = open("/proc/self/status").read().split("VmSize:")[1]
size = int(status.split()[0]) * 1024
resource.setrlimit(resource.RLIMIT_AS, (size + {headroom_mb} * 2**20, resource.RLIM_INFINITY))
emalign.train_emalign(dict(src_path="m.src", trg_path="m.trg", iteration_limit=1,
    save_trans_path="t.txt", save_align_path=None, threshold=0.001, nbest=1,
    save_scores=None, decode_align=None))
"""
    result = subprocess.run(
        [sys.executable, "-c", code],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env=dict(os.environ, **env),
    )
    return result.stderr


def test_the_pair_index_budget_follows_the_memory_the_process_may_use(tmp_path):
    stderr = train_in_capped_process(tmp_path, "a b\nc\n", "x y\nz\n", 300)
    budget = re.search(r"pair cell index: .*\[budget (\d+) MiB\], from the memory", stderr)
    assert budget and int(budget[1]) < 300, stderr


def test_memory_refused_while_setting_up_names_what_was_allocated(tmp_path):
    # One pair of 6,000 words a side has 36 million position pairs; the process may grow by
    # far less than they need: refused before anything is built.
    words = " ".join(f"w{i}" for i in range(6000)) + "\n"
    stderr = train_in_capped_process(tmp_path, words, words, 100)
    assert (
        "MemoryError: cannot allocate the sentence pair of line 1 (6,000 x 6,000 words)" in stderr
    )
    assert "std::" not in stderr and "bad_alloc" not in stderr


def test_threads_the_system_refuses_name_the_setting(tmp_path):
    # Thread stacks beyond the address space the process may grow by: the system refuses a
    # thread long before a hundred thousand.
    stderr = train_in_capped_process(tmp_path, "a b\nc\n", "x y\nz\n", 40, ZEL_THREADS="16")
    assert re.search(
        r"^MemoryError: cannot start thread \d+ of 16 "
        r"\(ZEL_THREADS sets how many\): Resource temporarily unavailable$",
        stderr,
        re.MULTILINE,
    ), stderr


@pytest.mark.parametrize("state", ["warn", "ignore", "raise"])
def test_nan_entropies_follow_the_array_librarys_error_state(tmp_path, caplog, state):
    # In character mode an empty target line is an empty side: its entropy per word is 0 / 0.
    src, trg = tmp_path / "c.src", tmp_path / "c.trg"
    src.write_text("ab\ncd\n")
    trg.write_text("xy\n\n")
    conf = train_conf(tmp_path, (src, trg), character=True, save_scores=str(tmp_path / "s.txt"))
    message = "^invalid value encountered in scalar divide$"
    with np.errstate(invalid=state), caplog.at_level(std_logging.ERROR, logger="zel"):
        if state == "warn":
            with pytest.warns(RuntimeWarning, match=message):
                assert emalign.train_emalign(conf)
        elif state == "ignore":
            assert emalign.train_emalign(conf)
        else:
            with pytest.raises(RuntimeError, match="FloatingPointError: invalid value"):
                emalign.train_emalign(conf)
    if state == "raise":
        assert [type(r.msg) for r in caplog.records] == [FloatingPointError]
    else:
        assert (tmp_path / "s.txt").read_text().splitlines()[1] == "nan"
