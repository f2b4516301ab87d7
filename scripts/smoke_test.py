"""Smoke test of an installed zel: train on a small corpus, index a small rule table.

    python scripts/smoke_test.py CORPUS_DIR [--bundled]

CORPUS_DIR holds train.src and train.trg (data/toy). With --bundled, also checks that the
native modules resolve the marisa-trie library from inside the installed package (a wheel
carries its own copy), not from the system.
"""

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

from zel.smt.trans_models.tables import MosesTable

import zel
from zel.common import logging as zlogging
from zel.smt.align import emalign

TABLE = (
    "das Haus ||| the house ||| 0.5 1 0.25 1 ||| 0-0 1-1 ||| 2 3 1\n"
    "das Haus ||| the home ||| 0.2 1 0.1 1 ||| 0-0 1-1 ||| 2 1 1\n"
    "das ||| the ||| 0.7 1 0.6 1 ||| 0-0 ||| 9 9 6\n"
)


def marisa_libraries(package):
    """Where the dynamic loader finds marisa for each native file of the package."""
    found = {}
    for library in sorted(package.rglob("*.so")):
        lines = subprocess.run(["ldd", library], capture_output=True, text=True, check=True)
        for line in lines.stdout.splitlines():
            if "libmarisa" in line:
                found[library.relative_to(package.parent)] = line.split("=>")[-1].split("(")[0]
    return {name: Path(path.strip()) for name, path in found.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("corpus", type=Path, help="folder with train.src and train.trg")
    parser.add_argument("--bundled", action="store_true", help="marisa must come from the package")
    args = parser.parse_args()
    package = Path(zel.__file__).resolve().parent
    print(f"zel {zel.__version__} from {package}")
    if args.bundled:
        libraries = marisa_libraries(package)
        if not libraries:
            sys.exit("no native file of the package links marisa-trie")
        for name, path in libraries.items():
            if not path.resolve().is_relative_to(package.parent):
                sys.exit(f"{name} loads marisa-trie from {path}, outside the package")
        print(f"marisa-trie from {sorted(set(libraries.values()))[0]}")
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        conf = {
            "src_path": str(args.corpus / "train.src"),
            "trg_path": str(args.corpus / "train.trg"),
            "iteration_limit": 2,
            "threshold": 0.001,
            "nbest": 10,
            "save_trans_path": str(out / "trans.txt"),
            "save_align_path": None,
            "save_scores": None,
            "decode_align": str(out / "decoded.txt"),
        }
        with zlogging.using_config(["zel"], quiet=True):
            assert emalign.train_emalign(conf)
        pairs = len((args.corpus / "train.src").read_text(encoding="utf-8").splitlines())
        decoded = (out / "decoded.txt").read_text().splitlines()
        assert len(decoded) == pairs, (len(decoded), pairs)
        print(f"trained on {pairs} pairs")
        (out / "table.txt").write_text(TABLE, encoding="utf-8")
        table = MosesTable(str(out / "table.txt"), trg_key=True)
        targets = sorted(r.trg for r in table.find_src("das Haus"))
        assert targets == ["the home", "the house"], targets
        assert [r.src for r in table.find_trg("the")] == ["das"]
        print(f"indexed a table of {len(table)} rules")
    print("smoke test passed")


if __name__ == "__main__":
    main()
