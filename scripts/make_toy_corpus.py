"""Writes the small parallel corpus that ships in data/toy, with its true word links.

Source sentences draw words Zipf-like from a vocabulary; each source word has a hidden
translation, some source words are dropped in translation (like articles), some target words
appear from nowhere (aligned to NULL), and neighbouring words swap places, so there is
reordering for the alignment model to learn. The seed is fixed: rerunning it rewrites the same
files.

    python scripts/make_toy_corpus.py [OUTDIR]
"""

import random
import sys
from pathlib import Path

PAIRS = 3000
SOURCE_WORDS = 400
DROPPED = {f"s{i}" for i in range(0, SOURCE_WORDS, 25)}  # source words with no translation
INSERTED = ["ta", "tb", "tc"]  # target words with no source


def main():
    out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent.parent / "data" / "toy")
    out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(20261208)
    vocab = [f"s{i}" for i in range(SOURCE_WORDS)]
    weights = [1.0 / (rank + 1) ** 0.9 for rank in range(SOURCE_WORDS)]
    translation = {w: f"t{i}" for i, w in enumerate(vocab)}
    src_lines, trg_lines, gold = [], [], []
    for number in range(1, PAIRS + 1):
        src = rng.choices(vocab, weights, k=rng.randint(3, 15))
        # (source position, target word): 1-based source positions, in source order.
        target = [(k, translation[w]) for k, w in enumerate(src, 1) if w not in DROPPED]
        for i in range(len(target) - 1):
            if rng.random() < 0.25:
                target[i], target[i + 1] = target[i + 1], target[i]
        if rng.random() < 0.4:
            target.insert(rng.randint(0, len(target)), (0, rng.choice(INSERTED)))
        src_lines.append(" ".join(src))
        trg_lines.append(" ".join(word for _, word in target))
        gold += [f"{number} {k} {j} S" for j, (k, _) in enumerate(target, 1) if k > 0]
    (out / "train.src").write_text("\n".join(src_lines) + "\n", encoding="utf-8")
    (out / "train.trg").write_text("\n".join(trg_lines) + "\n", encoding="utf-8")
    (out / "train.gold").write_text("\n".join(gold) + "\n", encoding="utf-8")
    print(f"wrote {PAIRS} pairs and {len(gold)} links to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
