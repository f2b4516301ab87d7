import logging
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from zel.smt.align import bidirectional, emalign, symmetrize

TOY = Path(__file__).resolve().parents[3] / "data" / "toy"
SETTINGS = {"iteration_limit": 2, "threshold": 0.01, "nbest": 5, "quiet": True}


@pytest.mark.parametrize("threads", ["1", "2"])
def test_both_directions_are_the_two_training_runs(tmp_path, monkeypatch, threads):
    # One thread runs the directions one after the other, two at once: the same bytes.
    monkeypatch.setenv("ZEL_THREADS", threads)
    src, trg = TOY / "train.src", TOY / "train.trg"
    paths = bidirectional.align_both(
        {"src_path": src, "trg_path": trg, "outdir": tmp_path / "out"},
        heuristic="union",
        model="ibm2",
        **SETTINGS,
    )
    for direction, (s, t) in (("src-trg", (src, trg)), ("trg-src", (trg, src))):
        own = {kind: tmp_path / f"{direction}.{kind}" for kind in ("trans", "align", "decoded")}
        conf = {"src_path": str(s), "trg_path": str(t), **SETTINGS, "save_scores": None}
        conf.update(save_trans_path=str(own["trans"]), save_align_path=str(own["align"]))
        emalign.train_emalign(conf, decode_align=str(own["decoded"]))
        for kind, path in own.items():
            assert paths[direction][kind].read_bytes() == path.read_bytes(), (direction, kind)
    symmetrize.symmetrize(
        tmp_path / "src-trg.decoded", tmp_path / "trg-src.decoded", tmp_path / "u", "union"
    )
    assert paths["links"].name == "union.links.txt"
    assert paths["links"].read_bytes() == (tmp_path / "u").read_bytes() != b""
    # Each direction's links in source-target orientation: the union is exactly both.
    union = [
        set(a.split()) | set(b.split())
        for a, b in zip(
            paths["src-trg"]["links"].read_text().splitlines(),
            paths["trg-src"]["links"].read_text().splitlines(),
            strict=True,
        )
    ]
    assert union == [set(line.split()) for line in paths["links"].read_text().splitlines()]


# Imported by every Python the test starts: a direction's process announces its second EM step
# with a file and then waits there for Ctrl-C, so the interrupt lands in training whatever the
# machine's load.
HOLD = """
import logging, os, sys, time
if os.environ.get("HOLD_DIR") and sys.argv[:1] == ["-c"]:
    class Hold(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith("step: 2 / "):
                open(os.path.join(os.environ["HOLD_DIR"], str(os.getpid())), "w").close()
                while True:
                    time.sleep(0.01)
    logging.getLogger("zel").addHandler(Hold())
"""


@pytest.mark.parametrize(("threads", "trained"), [("2", 2), ("1", 1)])
def test_ctrl_c_keeps_what_each_direction_wrote(tmp_path, threads, trained):
    (tmp_path / "sitecustomize.py").write_text(HOLD)
    hold = tmp_path / "hold"
    hold.mkdir()
    env = dict(os.environ, PYTHONPATH=str(tmp_path), HOLD_DIR=str(hold), ZEL_THREADS=threads)
    command = [
        Path(sys.executable).parent / "zel-align",
        *("--model", "ibm2", TOY / "train.src", TOY / "train.trg"),
    ]
    process = subprocess.Popen(
        [*command, tmp_path / "out"], env=env, stderr=subprocess.PIPE, text=True
    )
    while len(os.listdir(hold)) < trained and process.poll() is None:
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    _, log = process.communicate(timeout=300)
    # Each direction's training says it in the training pipeline's words, the command in ours.
    assert log.count("interuppted by keyboard") == trained
    assert "bidirectional: interrupted by keyboard" in log
    # Each direction's lines say which it is.
    assert ("src-trg: interuppted by keyboard" in log) and ("trg-src: interuppted" in log) == (
        trained == 2
    )
    written = sorted(p.name for p in (tmp_path / "out").iterdir())
    assert process.returncode == 130
    if trained == 2:
        assert (
            len((tmp_path / "out" / "grow-diag-final-and.links.txt").read_text().splitlines())
            == 3000
        )
    else:
        assert "trg-src: not trained" in log
        assert written == [f"src-trg.{kind}.txt" for kind in ("align", "decoded", "links", "trans")]


def running(pid):
    """Whether process `pid` exists and is not a zombie waiting to be reaped."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


@pytest.mark.parametrize(("signum", "status"), [(signal.SIGTERM, 143), (signal.SIGKILL, -9)])
def test_the_directions_end_with_the_command(tmp_path, signum, status):
    (tmp_path / "sitecustomize.py").write_text(HOLD)
    hold = tmp_path / "hold"
    hold.mkdir()
    env = dict(os.environ, PYTHONPATH=str(tmp_path), HOLD_DIR=str(hold), ZEL_THREADS="2")
    command = [
        Path(sys.executable).parent / "zel-align",
        *("--model", "ibm2", TOY / "train.src", TOY / "train.trg"),
    ]
    with open(tmp_path / "log", "w") as log:
        process = subprocess.Popen([*command, tmp_path / "out"], env=env, stderr=log)
        while len(os.listdir(hold)) < 2 and process.poll() is None:
            time.sleep(0.01)
        children = [int(name) for name in os.listdir(hold)]
        process.send_signal(signum)
        assert process.wait(timeout=300) == status
        # SIGTERM: the command waits for both; SIGKILL: the kernel tells them their parent is
        # gone, and each ends as on Ctrl-C after writing its files, which no one is left to
        # put in place.
        deadline = time.monotonic() + 300
        while any(running(pid) for pid in children) and time.monotonic() < deadline:
            time.sleep(0.05)
    assert not any(running(pid) for pid in children)
    written = tmp_path / "out" if signum == signal.SIGTERM else next((tmp_path / "out").glob(".*"))
    for direction in bidirectional.DIRECTIONS:
        path = written / f"{direction}.decoded.txt"
        assert path.exists() and path.stat().st_size > 0, (tmp_path / "log").read_text()


def test_one_file_of_both_sides_trains_as_two_files(tmp_path):
    src = (TOY / "train.src").read_text().splitlines()[:300]
    trg = (TOY / "train.trg").read_text().splitlines()[:300]
    (tmp_path / "s").write_text("".join(line + "\n" for line in src))
    (tmp_path / "t").write_text("".join(line + "\n" for line in trg))
    (tmp_path / "both").write_text("".join(f"{s} ||| {t}\n" for s, t in zip(src, trg, strict=True)))
    argv = ["-I", "2", "-q", "--model", "ibm2"]
    assert bidirectional.main([str(tmp_path / n) for n in ("s", "t", "two")] + argv) == 0
    assert bidirectional.main(["-i", str(tmp_path / "both"), str(tmp_path / "one"), *argv]) == 0
    for name in ("src-trg.decoded.txt", "grow-diag-final-and.links.txt"):
        assert (tmp_path / "one" / name).read_bytes() == (tmp_path / "two" / name).read_bytes()
    (tmp_path / "bad").write_text("a ||| x\nb x\n")
    assert bidirectional.main(["-i", str(tmp_path / "bad"), str(tmp_path / "three"), *argv]) == 1


@pytest.mark.parametrize(
    ("argv", "error"),
    [
        (["-I", str(2**64)], "-I/--iteration-limit must be a whole number from -2,147,483,648"),
        (["--hmm-iterations", str(2**64)], "--hmm-iterations must be a whole number from 0"),
        (["-i", "{bad}"], "bad, line 2: not UTF-8 (byte 3: invalid start byte)"),
    ],
)
def test_a_bad_setting_or_line_is_one_error_naming_it(tmp_path, caplog, argv, error):
    (tmp_path / "bad").write_bytes(b"a ||| x\nb \xff||| y\n")
    sides = [str(TOY / "train.src"), str(TOY / "train.trg")] if "-i" not in argv else []
    argv = [a.format(bad=tmp_path / "bad") for a in argv]
    with caplog.at_level(logging.ERROR, logger="zel"):
        assert bidirectional.main([*sides, str(tmp_path / "o"), *argv]) == 1
    assert [error in m for m in caplog.messages] == [True], caplog.messages
    assert not list(tmp_path.glob("o/*"))
