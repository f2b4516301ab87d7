"""HMM iterations of both directions, by agreement or apart, against the IBM models' iterations.

For each thread count the HMM road of zel-align (Model 1 iterations of each direction, then
HMM iterations of both) runs in a child process (so its peak memory is its own) and reports the
seconds of every Model 1 and HMM iteration, the time to the links and the child's peak RSS.

    python bench/hmm_iterations.py [--corpus NAME] [--iterations N] [--threads 1,2]
                                   [--no-agreement]

Corpora as bench/em_iterations.py names them (enja_small, hansards, 100k, million, gen11,
hansards-lengths). An HMM iteration computes both directions, so compare it with two IBM
Model 2 iterations of em_iterations.py on the same corpus and thread count.
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

sys.path.insert(0, str(Path(__file__).resolve().parent))

from em_iterations import add_run_options, corpus_files


def child(src, trg, outdir, iterations, agreement):
    from zel.smt.align import hmm

    events = []

    class Recorder(logging.Handler):
        def emit(self, record):
            events.append((time.perf_counter(), record.getMessage()))

    logging.getLogger("zel").addHandler(Recorder())
    logging.getLogger("zel").setLevel(logging.INFO)
    start = time.perf_counter()
    aligner = hmm.HmmAligner(
        src, trg, model1_iterations=iterations, iterations=iterations, agreement=agreement
    )
    aligner.train()
    trained = time.perf_counter()
    aligner.save_posterior_links(f"{outdir}/links.txt")
    end = time.perf_counter()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(
        json.dumps({"start": start, "trained": trained, "end": end, "events": events, "peak": peak})
    )


def phases(run):
    model1, hmm = [], []
    step = None
    for t, message in run["events"]:
        if message.startswith("step: ") or message.startswith("HMM step: "):
            step = (t, message.startswith("HMM"))
        elif message.startswith("entropy") and step is not None:
            if message.startswith("entropy: "):
                model1.append(t - step[0])
                step = None
            elif message.startswith("entropy trg-src"):
                hmm.append(t - step[0])
                step = None
    return model1, hmm


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_run_options(parser, "hansards")
    parser.add_argument("--no-agreement", action="store_true")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child, args.iterations, not args.no_agreement)
        return 0
    counts = [int(n) for n in args.threads.split(",") if n] or [None]
    print(f"corpus: {args.corpus}, {args.iterations} + {args.iterations} iterations")
    print(
        "| threads | Model 1 s/iteration (one direction) | HMM s/iteration (both) "
        "| training s | links s | whole s | peak memory |"
    )
    print("|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as tmp:
        src, trg = corpus_files(args.corpus, Path(tmp))
        for count in counts:
            env = dict(os.environ)
            if count is not None:
                env["ZEL_THREADS"] = str(count)
            command = [sys.executable, __file__, "--iterations", str(args.iterations)]
            if args.no_agreement:
                command.append("--no-agreement")
            out = subprocess.run(
                [*command, "--child", str(src), str(trg), tmp],
                stdout=subprocess.PIPE,
                stderr=subprocess.DEVNULL,
                text=True,
                env=env,
                check=True,
            ).stdout
            run = json.loads(out.strip().splitlines()[-1])
            model1, hmm = phases(run)
            mean = lambda xs: sum(xs) / len(xs) if xs else float("nan")  # noqa: E731
            print(
                f"| {count or 'default'} | {mean(model1):.2f} | {mean(hmm):.2f} "
                f"| {run['trained'] - run['start']:.1f} | {run['end'] - run['trained']:.1f} "
                f"| {run['end'] - run['start']:.1f} | {run['peak'] / 2**20:,.0f} MB |",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
