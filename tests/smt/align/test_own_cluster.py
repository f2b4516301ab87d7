"""Training on a Dask cluster of one's own: a scheduler and workers started by hand (loopback
only), as users run them, and the faults of such a cluster ended in bounded time with an error
that says what happened."""

import contextlib
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from smt.align.test_hmm import HOLD

pytest.importorskip("distributed")

from zel.smt.align import bidirectional
from zel.smt.align.cluster import client as cluster
from zel.smt.align.cluster.hmm import HmmRun

TOY = Path(__file__).resolve().parents[3] / "data" / "toy"
DASK = Path(sys.executable).parent / "dask"
PAIRS = 900


@pytest.fixture(scope="module")
def own_cluster(tmp_path_factory):
    """A scheduler and two default workers of two threads, each worker in a folder of its own;
    yields the scheduler's address and the workers' folders."""
    folder = tmp_path_factory.mktemp("cluster")
    address_file = folder / "scheduler.json"
    started = []
    options = ["--no-dashboard", "--scheduler-file", str(address_file)]
    started.append(
        subprocess.Popen(
            [DASK, "scheduler", "--host", "127.0.0.1", "--port", "0", *options],
            stderr=subprocess.DEVNULL,
        )
    )
    for name in ("w1", "w2"):
        (folder / name).mkdir()
        started.append(
            subprocess.Popen(
                [DASK, "worker", "--nthreads", "2", "--host", "127.0.0.1", *options],
                cwd=folder / name,
                stderr=subprocess.DEVNULL,
            )
        )
    try:
        import distributed

        with distributed.Client(scheduler_file=str(address_file), timeout="60s") as client:
            client.wait_for_workers(2, timeout=120)
            yield client.scheduler.address, [folder / "w1", folder / "w2"]
    finally:
        for process in started:
            process.terminate()
        for process in started:
            process.wait(timeout=60)


def test_default_workers_of_several_threads_give_the_files_of_one_worker(
    own_cluster, tmp_path, monkeypatch
):
    address, worker_folders = own_cluster
    for side in ("src", "trg"):
        lines = (TOY / f"train.{side}").read_bytes().splitlines(keepends=True)[:PAIRS]
        (tmp_path / side).write_bytes(b"".join(lines))
        # Relative paths name the client's files, not those a worker's folder has.
        for folder in worker_folders:
            (folder / side).write_bytes(b"".join(lines).upper())
    monkeypatch.chdir(tmp_path)
    conf = {"src_path": "src", "trg_path": "trg", "iteration_limit": 2, "hmm_iterations": 2}
    conf.update(shard_size=200, quiet=True)
    local = bidirectional.align_both(conf, outdir="local", workers=1)
    own = bidirectional.align_both(conf, outdir="own", scheduler=address)
    for got, want in (
        (own["final"], local["final"]),
        *zip(own["src-trg"].values(), local["src-trg"].values(), strict=True),
    ):
        if want.exists():
            assert got.read_bytes() == want.read_bytes(), got.name


def serve(answer):
    """A server on loopback that takes connections and sends `answer` (or nothing); returns
    its address."""
    server = socket.create_server(("127.0.0.1", 0))
    held = []

    def accept():
        while True:
            connection, _ = server.accept()
            held.append(connection)
            if answer:
                connection.sendall(answer)

    threading.Thread(target=accept, daemon=True).start()
    return f"tcp://127.0.0.1:{server.getsockname()[1]}"


@pytest.mark.parametrize(
    ("answer", "error"),
    [
        (b"", "no answer within 6 s"),
        (b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "does not answer as a Dask scheduler"),
    ],
)
def test_a_server_that_is_no_scheduler_is_refused_in_bounded_time(monkeypatch, answer, error):
    monkeypatch.setattr(cluster, "CONNECT_TIMEOUT", 1)
    address = serve(answer)
    with pytest.raises(ConnectionError, match=f"cannot reach the Dask scheduler at {address}: "):
        try:
            cluster.Cluster(scheduler=address)
        except ConnectionError as e:
            assert error in str(e)
            raise


class Stuck:
    """A future that never finishes, of a client whose cluster has `workers` workers."""

    def __init__(self, status, workers):
        self.client = self
        self.status = status
        self.workers = workers

    def scheduler_info(self):
        return {"workers": self.workers}

    def as_current(self):
        return contextlib.nullcontext()


IDLE = {"metrics": {"task_counts": {"memory": 3}}}


@pytest.mark.parametrize(
    ("status", "workers", "error"),
    [
        ("running", {}, "no Dask worker on the cluster for 0 s"),
        ("running", {"tcp://w": IDLE}, "1 workers idle for 0 s while 1 tasks wait"),
        ("connecting", {}, "lost the Dask scheduler: no answer for 0 s"),
        ("closed", {}, r"lost the Dask scheduler \(closed\)"),
    ],
)
def test_a_cluster_that_cannot_go_on_ends_the_wait(monkeypatch, status, workers, error):
    import distributed

    def never(futures, timeout, return_when):
        time.sleep(0.01)
        raise TimeoutError

    monkeypatch.setattr(distributed, "wait", never)
    monkeypatch.setattr(cluster, "STALL_TIMEOUT", 0)
    with pytest.raises((ConnectionError, RuntimeError), match=f"indexing: {error}"):
        cluster.gather([Stuck(status, workers)], "indexing")


def toy_corpus(folder, pairs=PAIRS):
    for side in ("src", "trg"):
        lines = (TOY / f"train.{side}").read_bytes().splitlines(keepends=True)[:pairs]
        (folder / side).write_bytes(b"".join(lines))
    return folder / "src", folder / "trg"


def test_a_scheduler_lost_during_a_run_is_a_connection_error_naming_it(tmp_path, monkeypatch):
    where = ["--no-dashboard", "--host", "127.0.0.1", "--scheduler-file", str(tmp_path / "s.json")]
    scheduler = subprocess.Popen(
        [DASK, "scheduler", "--port", "0", *where], stderr=subprocess.DEVNULL
    )
    worker = subprocess.Popen(
        [DASK, "worker", "--nthreads", "1", *where], stderr=subprocess.DEVNULL
    )
    try:
        import distributed

        with distributed.Client(scheduler_file=str(tmp_path / "s.json"), timeout="60s") as c:
            c.wait_for_workers(1, timeout=120)
            address = c.scheduler.address
        maximize = HmmRun._maximize

        def lost(run, pending):
            # The scheduler ends at a fixed point of the run: its first M-step.
            scheduler.kill()
            scheduler.wait()
            maximize(run, pending)

        monkeypatch.setattr(HmmRun, "_maximize", lost)
        src, trg = toy_corpus(tmp_path)
        with pytest.raises(ConnectionError, match=f"lost the Dask scheduler at {address}"):
            bidirectional.align_both(
                {"src_path": src, "trg_path": trg, "outdir": tmp_path / "o"},
                scheduler=address,
                quiet=True,
            )
        assert not list((tmp_path / "o").iterdir())
    finally:
        for process in (worker, scheduler):
            process.kill()
            process.wait()


def test_ctrl_c_to_the_terminals_process_group_ends_a_local_cluster_run(tmp_path):
    (tmp_path / "sitecustomize.py").write_text(HOLD)
    src, trg = toy_corpus(tmp_path)
    env = dict(os.environ, PYTHONPATH=str(tmp_path), HOLD_DIR=str(tmp_path))
    settings = ["--workers", "2", "--shard-size", "300", "--hmm-iterations", "3"]
    process = subprocess.Popen(
        [Path(sys.executable).parent / "zel-align", src, trg, tmp_path / "o", *settings],
        env=env,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    while not (tmp_path / "held").exists() and process.poll() is None:
        time.sleep(0.01)
    # As a terminal sends Ctrl-C: to every process of the group, the workers included.
    os.killpg(process.pid, signal.SIGINT)
    _, log = process.communicate(timeout=300)
    assert process.returncode == 130, log
    for d in ("src-trg", "trg-src"):
        assert (tmp_path / "o" / f"{d}.jumps.txt").read_text().startswith("null\t")
    assert len((tmp_path / "o" / "links.txt").read_text().splitlines()) == PAIRS
