"""zel-align's default road and eflomal side by side on generated corpora: wall and CPU seconds
and peak resident memory of each, both directions, each tool's defaults.

    python bench/versus_eflomal.py [--pairs 100000,1000000] [--eflomal PATH] [--keep DIR]

The corpora are those of ../shared/tools/gen_corpus.py (-n PAIRS --src-vocab 50000
--trg-vocab 50000 --seed 11). eflomal is another program, installed for measurement only
(`python -m venv /tmp/efl && /tmp/efl/bin/pip install eflomal`, then --eflomal
/tmp/efl/bin/eflomal-align); without it only zel-align runs. CPU seconds and the peak are each
command's own and its children's, read from wait4.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BIN = Path(sys.executable).parent
GENERATOR = Path(__file__).resolve().parents[1].parent / "shared" / "tools" / "gen_corpus.py"


def measured(command):
    """(wall seconds, CPU seconds, peak resident GB) of a command run to its end."""
    start = time.perf_counter()
    process = subprocess.Popen(
        [str(part) for part in command], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
    )
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise RuntimeError(f"{command[0]} ended with status {process.returncode}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 2**20


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pairs", default="100000,1000000")
    parser.add_argument("--eflomal", type=Path, help="the eflomal-align command")
    parser.add_argument("--keep", type=Path, help="a folder for the corpora and outputs")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        folder = args.keep or Path(tmp)
        folder.mkdir(parents=True, exist_ok=True)
        print(f"{'pairs':>9}  {'aligner':<10} {'wall s':>8} {'CPU s':>8} {'peak GB':>8}")
        for pairs in (int(p) for p in args.pairs.split(",")):
            src, trg = folder / f"{pairs}.src", folder / f"{pairs}.trg"
            if not src.exists():
                generate = [sys.executable, GENERATOR, "-n", pairs, "--src-vocab", 50000]
                generate += ["--trg-vocab", 50000, "--seed", 11, src, trg]
                subprocess.run([str(a) for a in generate], check=True, stdout=subprocess.DEVNULL)
            runs = {"zel-align": [BIN / "zel-align", src, trg, folder / f"zel-{pairs}", "-q"]}
            if args.eflomal:
                runs["eflomal"] = [args.eflomal, "-s", src, "-t", trg, "--overwrite"]
                runs["eflomal"] += ["-f", folder / f"{pairs}.fwd", "-r", folder / f"{pairs}.rev"]
            for name, command in runs.items():
                wall, cpu, peak = measured(command)
                print(f"{pairs:>9,}  {name:<10} {wall:8.1f} {cpu:8.1f} {peak:8.2f}", flush=True)


if __name__ == "__main__":
    main()
