"""Phrase-table extraction and scoring: wall time and peak memory on generated corpora.

Each corpus is aligned first (zel-align's default road, not timed here); then zel-extract runs
in a child process, so its peak memory is its own, for each memory setting.

    python bench/extract_table.py [--corpus 100k] [--memory 1024,256] [--threads 2]
                                  [--align-model ibm2]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))

from em_iterations import corpus_files  # noqa: E402

ALIGN = "import sys; from zel.smt.align.commands import align; sys.exit(align())"
CHILD = """
import json, resource, sys, time
from zel.smt.trans_models import extract
conf = json.loads(sys.argv[1])
start = time.perf_counter()
report = extract.extract(conf)
report["seconds"] = time.perf_counter() - start
report["peak"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps(report))
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default="100k")
    parser.add_argument("--memory", default="1024,256", help="MB settings, one run each")
    parser.add_argument("--threads", default="2")
    parser.add_argument("--align-model", help="zel-align's --model for the links (its default)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp)
        src, trg = corpus_files(args.corpus, work)
        model = ["--model", args.align_model] if args.align_model else []
        subprocess.run(
            [sys.executable, "-c", ALIGN, str(src), str(trg), str(work / "a"), "--quiet", *model],
            check=True,
        )
        links = work / "a" / "links.txt"
        outputs = []
        for memory in [int(m) for m in args.memory.split(",")]:
            out = work / f"table.{memory}.gz"
            conf = {
                "src_path": str(src),
                "trg_path": str(trg),
                "links_path": str(links),
                "out_path": str(out),
                "memory_mb": memory,
                "quiet": True,
            }
            env = dict(os.environ, ZEL_THREADS=args.threads)
            done = subprocess.run(
                [sys.executable, "-c", CHILD, json.dumps(conf)],
                env=env,
                capture_output=True,
                text=True,
                check=True,
            )
            r = json.loads(done.stdout.strip().splitlines()[-1])
            outputs.append(out.read_bytes())
            print(
                f"{args.corpus}, memory {memory} MB, {args.threads} threads: "
                f"{r['seconds']:.1f} s, peak {r['peak'] / 2**30:.2f} GB, "
                f"{r['pairs']:,} pairs, {r['instances']:,} phrase pairs extracted, "
                f"{r['phrase_pairs']:,} lines, {r['runs']} sort runs on disk"
            )
        print("same bytes for every memory setting:", all(o == outputs[0] for o in outputs))


if __name__ == "__main__":
    main()
