"""Training on a Dask cluster of one's own: a scheduler and workers started by hand (loopback
only), as users run them, and the faults of such a cluster ended in bounded time with an error
that says what happened."""

import contextlib
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

pytest.importorskip("distributed")

from zel.smt.align import bidirectional, cluster

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
