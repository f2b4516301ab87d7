"""Training on a local Dask cluster (loopback only): the same files whatever the number of
workers, one process's files for one shard, and lost workers and interrupts survived."""

import gzip
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")

from zel.smt.align import bidirectional, emalign
from zel.smt.align.cluster import Cluster, Interrupted, tasks
from zel.smt.align.cluster import train as train_on_cluster
from zel.smt.align.cluster.hmm import HmmRun
from zel.smt.align.cluster.ibm import IbmRun

TOY = Path(__file__).resolve().parents[3] / "data" / "toy"
PAIRS = 600
KINDS = ("trans", "align", "scores", "decoded")


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    folder = tmp_path_factory.mktemp("corpus")
    for side in ("src", "trg"):
        lines = (TOY / f"train.{side}").read_bytes().splitlines(keepends=True)[:PAIRS]
        (folder / side).write_bytes(b"".join(lines))
        with gzip.open(folder / f"{side}.gz", "wb") as f:
            f.write(b"".join(lines))
    return folder


@pytest.fixture(scope="module")
def cluster():
    with Cluster(workers=2) as c:
        yield c


def conf_for(corpus, out, gz=False, **settings):
    suffix = ".gz" if gz else ""
    out.mkdir(exist_ok=True)
    conf = {
        "src_path": str(corpus / f"src{suffix}"),
        "trg_path": str(corpus / f"trg{suffix}"),
        "iteration_limit": 3,
        "threshold": emalign.THRESHOLD,
        "nbest": emalign.NBEST,
        "save_trans_path": str(out / "trans"),
        "save_align_path": str(out / "align"),
        "save_scores": str(out / "scores"),
        "decode_align": str(out / "decoded"),
    }
    conf.update(settings)
    return conf


def contents(out):
    return {kind: (out / kind).read_bytes() for kind in KINDS}


def test_one_shard_gives_one_process_files(corpus, cluster, tmp_path):
    emalign.train_emalign(conf_for(corpus, tmp_path / "one"))
    train_on_cluster(conf_for(corpus, tmp_path / "d"), cluster=cluster, shard_size=PAIRS)
    assert contents(tmp_path / "d") == contents(tmp_path / "one")


def test_same_files_for_any_number_of_workers(corpus, cluster, tmp_path):
    # Four shards (the last shorter) on 1, 2 and 3 workers; compressed inputs are read here
    # and sent, plain ones read by the workers: the same bytes.
    train_on_cluster(conf_for(corpus, tmp_path / "w2"), cluster=cluster, shard_size=170)
    expected = contents(tmp_path / "w2")
    assert all(expected.values())
    for workers, gz in ((1, False), (3, True)):
        out = tmp_path / f"w{workers}"
        train_on_cluster(conf_for(corpus, out, gz), workers=workers, shard_size=170)
        assert contents(out) == expected, workers


@pytest.mark.parametrize("model", ["hmm", "ibm2"])
def test_worker_lost_mid_training_gives_the_same_files(
    corpus, cluster, tmp_path, monkeypatch, model
):
    run_class = HmmRun if model == "hmm" else IbmRun

    def train(out):
        if model == "hmm":
            hmm_align(corpus, out, scheduler=cluster.client.scheduler.address, shard_size=150)
            return written(out)
        train_on_cluster(conf_for(corpus, out), cluster=cluster, shard_size=150)
        return contents(out)

    expected = train(tmp_path / "whole")
    maximize = run_class._maximize
    killed = []

    def maximize_then_kill(run, pending):
        # Once the M-step of a trained model is under way, the worker holding the last range
        # of rows (its values, its counts, its shards) ends: Dask makes what it held again.
        maximize(run, pending)
        if run.trained and not killed:
            rows = run.tables[-1].rows[-1]
            worker = next(iter(run.client.who_has(rows)[rows.key]))
            run.client.run(os._exit, 1, workers=[worker], on_error="ignore")
            killed.append(worker)

    monkeypatch.setattr(run_class, "_maximize", maximize_then_kill)
    assert train(tmp_path / "lost") == expected
    assert killed


def test_interrupt_writes_the_last_complete_step(corpus, cluster, tmp_path, monkeypatch):
    steps = []

    def interrupt_at_second_step(run):
        steps.append(1)
        if len(steps) == 2:
            raise KeyboardInterrupt

    monkeypatch.setattr(IbmRun, "memory_report", interrupt_at_second_step)
    with pytest.raises(Interrupted):
        train_on_cluster(conf_for(corpus, tmp_path / "i"), cluster=cluster, shard_size=200)
    # Every file is whole: a score and a line of links for every pair.
    written = contents(tmp_path / "i")
    assert len(written["decoded"].splitlines()) == len(written["scores"].splitlines()) == PAIRS
    assert written["trans"]


@pytest.mark.parametrize(
    ("settings", "error", "text"),
    [
        ({"shard_size": 0}, ValueError, "shard size"),
        ({"iteration_limit": 0}, ValueError, "at least one iteration"),
        ({"src_path": "/nonexistent/src"}, FileNotFoundError, "/nonexistent/src"),
        ({"scheduler": "tcp://127.0.0.1:9"}, ConnectionError, "tcp://127.0.0.1:9"),
        ({"workers": 0}, ValueError, "number of workers"),
    ],
)
def test_refusals_name_the_cause_and_write_nothing(corpus, tmp_path, settings, error, text):
    conf = conf_for(corpus, tmp_path / "out")
    conf.update(settings)
    options = {k: conf.pop(k) for k in ("shard_size", "scheduler", "workers") if k in conf}
    if "scheduler" not in options:
        options.setdefault("workers", 1)
    with pytest.raises(error, match=text):
        train_on_cluster(conf, **options)
    assert not any((tmp_path / "out").iterdir())


def test_dask_weighs_a_range_of_rows_by_its_cells_and_one_process_never_loads_it():
    from dask.sizeof import sizeof

    keys = (np.array([0, 3, 5, 9], dtype=np.uint64), np.array([3, 6], dtype=np.uint64))
    rows = tasks.Rows(0, 3, 4, *keys)
    assert rows.native.cells == 5 and sizeof(rows) >= 12 * 5 + 24
    code = "import sys, zel.smt.align.bidirectional; sys.exit('dask' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


def test_without_dask_the_options_say_how_to_install_it(corpus, tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"zel\[distributed\]"):
        train_on_cluster(conf_for(corpus, tmp_path), workers=1)
    for model in ("hmm", "ibm2", None):
        with pytest.raises(ImportError, match=r"zel\[distributed\]"):
            hmm_align(corpus, tmp_path / str(model), model=model, workers=2)


@pytest.mark.parametrize(
    ("settings", "text"),
    [
        ({"model": "fertility"}, r"fertility model samples in one process.*--model hmm"),
        ({"score_only": "model"}, r"--score-only.*--workers"),
        ({"prune": 1e-6}, r"--prune leaves cells out of the HMM in this process.*--workers"),
    ],
)
def test_settings_of_one_process_are_refused_on_a_cluster(corpus, tmp_path, settings, text):
    with pytest.raises(ValueError, match=text):
        hmm_align(corpus, tmp_path, workers=2, **settings)


def hmm_align(corpus, out, **settings):
    conf = {
        "src_path": corpus / "src",
        "trg_path": corpus / "trg",
        "outdir": out,
        "save_scores": True,
        "iteration_limit": 3,
        "hmm_iterations": 3,
    }
    return bidirectional.align_both(conf, **settings)


def written(out):
    return {p.name: p.read_bytes() for p in sorted(out.iterdir())}


@pytest.mark.parametrize(
    "settings",
    [{}, {"agreement": False, "prior": 0.1, "decoding": "viterbi"}],
    ids=["agreement", "apart-prior-viterbi"],
)
def test_hmm_one_shard_gives_one_process_files(corpus, cluster, tmp_path, settings):
    hmm_align(corpus, tmp_path / "one", model="hmm", **settings)
    address = cluster.client.scheduler.address
    hmm_align(corpus, tmp_path / "c", scheduler=address, shard_size=PAIRS, **settings)
    assert written(tmp_path / "c") == written(tmp_path / "one")


def test_hmm_files_do_not_depend_on_the_workers(corpus, cluster, tmp_path):
    address = cluster.client.scheduler.address
    hmm_align(corpus, tmp_path / "two", scheduler=address, shard_size=170)
    hmm_align(corpus, tmp_path / "three", workers=3, shard_size=170)
    assert written(tmp_path / "three") == written(tmp_path / "two")


def test_hmm_interrupt_writes_the_last_complete_iteration(corpus, cluster, tmp_path, monkeypatch):
    def interrupt(run):
        if run.trained:  # after the first HMM iteration
            raise KeyboardInterrupt

    monkeypatch.setattr(HmmRun, "memory_report", interrupt)
    with pytest.raises(Interrupted):
        hmm_align(corpus, tmp_path, scheduler=cluster.client.scheduler.address, shard_size=200)
    files = written(tmp_path)
    assert all(len(files[f"{d}.links.txt"].splitlines()) == PAIRS for d in ("src-trg", "trg-src"))
    assert len(files["links.txt"].splitlines()) == PAIRS
