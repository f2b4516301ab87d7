"""Training on a local Dask cluster against one process.

One process (in a child so its peak memory is its own) and local clusters of each worker count
train the same corpus: IBM Models 1 and 2 with zel-train's pipeline and its four files (--model
ibm2), or both directions of the HMM with zel-align's and its files (--model hmm). The run
prints each one's wall time, peaks (the client's and each worker's), the bytes an iteration
moves, and whether the files equal those of the first cluster run and of one process.

    python bench/cluster_training.py [--model ibm2|hmm] [--corpus million] [--workers 1,2,3]
                                [--shard-size N] [--iterations N] [--memory-limit 2GB]
                                [--one-process-cap-gb 2]

--memory-limit is each worker's limit (Dask ends a worker above it); --one-process-cap-gb also
runs one process under that address-space limit, to show what it cannot train. Under a limit,
Dask also pauses a worker at 80% of it and spills at 70%, counting only the arrays it knows
(not the shards' native tables); the capped runs of the performance log set
DASK_DISTRIBUTED__WORKER__MEMORY__PAUSE, __SPILL and __TARGET to false, so that only the limit
itself applies.
"""

import argparse
import json
import logging
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

from em_iterations import corpus_files  # noqa: E402


def conf(model, src, trg, out, iterations):
    out.mkdir(parents=True, exist_ok=True)
    settings = {"src_path": str(src), "trg_path": str(trg), "iteration_limit": iterations}
    if model == "hmm":
        return {**settings, "outdir": str(out), "hmm_iterations": iterations, "save_scores": True}
    return {
        **settings,
        "threshold": 0.001,
        "nbest": 100,
        "save_trans_path": str(out / "trans"),
        "save_align_path": str(out / "align"),
        "save_scores": str(out / "scores"),
        "decode_align": str(out / "decoded"),
    }


def train(model, settings, **cluster):
    """One run: in this process, or on the cluster given (`cluster` and `shard_size`)."""
    if model == "hmm":
        from zel.smt.align import bidirectional

        if cluster:
            address = cluster["cluster"].client.scheduler.address
            cluster = {"scheduler": address, "shard_size": cluster["shard_size"]}
        bidirectional.align_both(settings, **cluster)
    elif cluster:
        from zel.smt.align import cluster as dask_road

        dask_road.train(settings, **cluster)
    else:
        from zel.smt.align import emalign

        emalign.train_emalign(settings)


ONE_PROCESS = """
import json, resource, sys, time
sys.path.insert(0, sys.argv[4])
from cluster_training import train
conf = json.loads(sys.argv[1])
cap = float(sys.argv[2])
if cap > 0:
    limit = int(cap * 2**30)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
start = time.perf_counter()
train(sys.argv[3], conf)
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"seconds": seconds, "peak": peak}))
"""


def one_process(model, settings, threads, cap_gb=0.0):
    env = dict(os.environ, ZEL_THREADS=str(threads))
    done = subprocess.run(
        [
            sys.executable,
            "-c",
            ONE_PROCESS,
            json.dumps(settings),
            str(cap_gb),
            model,
            str(ROOT / "bench"),
        ],
        env=env,
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        last = (done.stderr.strip().splitlines() or ["?"])[-1]
        return {"failed": last}
    return json.loads(done.stdout.strip().splitlines()[-1])


def peak_rss():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def worker_peak():
    # A worker's own high-water mark: ru_maxrss survives exec, so a worker started by a large
    # client would report the client's peak.
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return peak_rss()


class Traffic(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        text = record.getMessage()
        if "an iteration moves" in text:
            self.lines.append(text)


def cluster_run(model, settings, workers, shard_size, memory_limit):
    from zel.smt.align.cluster import Cluster, client

    traffic = Traffic()
    log = logging.getLogger(client.__name__)
    log.addHandler(traffic)
    old_level = log.level
    log.setLevel(logging.DEBUG)
    try:
        with Cluster(workers=workers, memory_limit=memory_limit) as cluster:
            start = time.perf_counter()
            train(model, settings, cluster=cluster, shard_size=shard_size)
            seconds = time.perf_counter() - start
            peaks = sorted(cluster.client.run(worker_peak).values())
    finally:
        log.removeHandler(traffic)
        log.setLevel(old_level)
    return {"seconds": seconds, "worker_peaks": peaks, "traffic": traffic.lines[-1:]}


def written(out):
    return {p.name: p.read_bytes() for p in sorted(out.iterdir())}


def gb(n):
    return f"{n / 2**30:.2f} GB"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", choices=("ibm2", "hmm"), default="ibm2")
    parser.add_argument("--corpus", default="million")
    parser.add_argument("--workers", default="1,2,3")
    parser.add_argument("--shard-size", type=int, default=100_000)
    parser.add_argument("--iterations", type=int, default=5)
    parser.add_argument("--threads", type=int, default=2, help="one process's threads")
    parser.add_argument("--memory-limit", default="auto", help="each worker's, e.g. 2GB")
    parser.add_argument("--one-process-cap-gb", type=float, default=0.0)
    args = parser.parse_args()
    logging.basicConfig(level=logging.WARNING)
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        src, trg = corpus_files(args.corpus, work)
        pairs = sum(1 for _ in open(src, "rb"))
        print(f"corpus {args.corpus}: {pairs:,} pairs, shards of {args.shard_size:,}")
        one = one_process(
            args.model, conf(args.model, src, trg, work / "one", args.iterations), args.threads
        )
        print(f"one process, {args.threads} threads: {one}")
        if args.one_process_cap_gb:
            capped = one_process(
                args.model,
                conf(args.model, src, trg, work / "capped", args.iterations),
                args.threads,
                args.one_process_cap_gb,
            )
            print(f"one process under {args.one_process_cap_gb} GB: {capped}")
        first = None
        for workers in [int(w) for w in args.workers.split(",")]:
            out = work / f"w{workers}"
            result = cluster_run(
                args.model,
                conf(args.model, src, trg, out, args.iterations),
                workers,
                args.shard_size,
                args.memory_limit,
            )
            files = written(out)
            first = first or files
            one_files = written(work / "one")
            differ = sorted(k for k in files if files[k] != one_files.get(k))
            client_peak = peak_rss()
            print(
                f"{workers} workers: {result['seconds']:.1f} s "
                f"({result['seconds'] / one.get('seconds', float('nan')):.2f}x one process); "
                f"worker peaks {', '.join(gb(p) for p in result['worker_peaks'])}; "
                f"client peak so far {gb(client_peak)}; same files as the first cluster run: "
                f"{files == first}; files differing from one process's: {differ or 'none'}"
            )
            for line in result["traffic"]:
                print(f"  {line}")


if __name__ == "__main__":
    main()
