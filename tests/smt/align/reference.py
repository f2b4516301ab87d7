"""A literal dense NumPy formulation of corpus loading, IBM Models 1 and 2 and their files.

Written independently of the native code, straight from the model definitions, to check it
value for value on corpora small enough for dense arrays.
"""

import math

import numpy as np

NULL = "__NULL__"


def load(src_path, trg_path, character=False):
    src_words, trg_words = {NULL: 0}, {}
    pairs = []
    with open(src_path, encoding="utf-8", newline="\n") as fs:
        with open(trg_path, encoding="utf-8", newline="\n") as ft:
            for s_line, t_line in zip(fs, ft, strict=False):
                s_line, t_line = s_line.strip("\r\n"), t_line.strip("\r\n")
                if character:
                    s_tok, t_tok = list(s_line), list(t_line)
                else:
                    s_tok, t_tok = s_line.split(" "), t_line.split(" ")
                src = [0] + [src_words.setdefault(w, len(src_words)) for w in s_tok]
                trg = [trg_words.setdefault(w, len(trg_words)) for w in t_tok]
                pairs.append((np.array(src, dtype=np.int64), np.array(trg, dtype=np.int64)))
    return pairs, list(src_words), list(trg_words)


def c_log(values):
    """The C library's natural logarithm of each value, as np.log gives it where it has no
    vector loop of its own: on CPUs with AVX-512, np.log differs from it in the last bit for
    about one value in 300."""
    return np.array(
        [math.log(v) if v > 0 else (-math.inf if v == 0 else math.nan) for v in values.flat]
    ).reshape(values.shape)


def normalize(array, axis, out):
    s = np.broadcast_to(np.expand_dims(array.sum(axis=axis), axis), array.shape)
    mask = s > 0
    out[mask] = array[mask] / s[mask]
    return out


class Model2Reference:
    def __init__(self, pairs, n_src, n_trg):
        self.pairs = pairs
        s_max = max(len(s) for s, _ in pairs)
        t_max = max(len(t) for _, t in pairs)
        self.trans = np.ones((n_src, n_trg)) / n_trg
        self.align = np.zeros((s_max - 1, t_max, t_max, s_max))
        for a in range(s_max - 1):
            self.align[a] = 1.0 / (a + 2)
        self.cooc = None
        self.align_counts = None
        self.entropies = []

    def block(self, src, trg):
        a = self.align[len(src) - 2, len(trg) - 1][: len(trg), : len(src)]
        return np.ascontiguousarray(a.T)

    def pair_entropy(self, src, trg):
        p = self.block(src, trg) * self.trans[np.ix_(src, trg)]
        return -c_log(p.sum(axis=0)).sum() / len(trg)

    def entropy(self):
        total = 0.0
        for src, trg in self.pairs:
            total += self.pair_entropy(src, trg)
        return total / len(self.pairs)

    def model1_step(self):
        self.cooc = np.zeros_like(self.trans)
        for src, trg in self.pairs:
            post = self.trans[np.ix_(src, trg)]
            normalize(post, 0, post)
            np.add.at(self.cooc, (src[:, None], trg[None, :]), post)
        normalize(self.cooc, 1, self.trans)

    def model2_step(self):
        self.cooc = self.trans * 0
        self.align_counts = self.align * 0
        for src, trg in self.pairs:
            p = self.trans[np.ix_(src, trg)] * self.block(src, trg)
            p = p / p.sum(axis=0)
            np.add.at(self.cooc, (src[:, None], trg[None, :]), p)
            pos_trg, pos_src = np.arange(len(trg)), np.arange(len(src))
            block = self.align_counts[len(src) - 2, len(trg) - 1]
            np.add.at(block, (pos_trg[:, None], pos_src[None, :]), p.T)
        normalize(self.cooc, 1, self.trans)
        normalize(self.align_counts, 3, self.align)

    def train(self, limit):
        for step in (self.model1_step, self.model2_step):
            prev = self.entropy()
            self.entropies.append(prev)
            for _ in range(limit):
                step()
                cur = self.entropy()
                self.entropies.append(cur)
                if cur >= prev:
                    break
                prev = cur

    def trans_lines(self, src_words, trg_words, threshold, nbest):
        lines = []
        for s, row in enumerate(self.trans):
            ranking = sorted(range(len(row)), key=lambda t, row=row: -row[t])[:nbest]
            for t in ranking:
                v = float(np.float32(row[t]))
                if v > threshold:
                    lines.append(
                        f"{src_words[s]}\t{trg_words[t]}\t{v:.8f}\t{self.cooc[s, t]:.2f}\n"
                    )
        return "".join(lines)

    def align_lines(self, threshold):
        mask = self.align.max(axis=3) != self.align.min(axis=3)
        lines = []
        for a, b, c, d in zip(
            *np.where(np.broadcast_to(mask[..., None], self.align.shape)), strict=True
        ):
            v = float(np.float32(self.align[a, b, c, d]))
            count = self.align_counts[a, b, c, d]
            if v > threshold:
                lines.append(f"{a + 1}\t{b + 1}\t{c + 1}\t{d}\t{v:.8f}\t{count:.2f}\n")
        return "".join(lines)

    def score_lines(self):
        return "".join(f"{float(self.pair_entropy(s, t))!r}\n" for s, t in self.pairs)

    def decode_lines(self):
        out = []
        for src, trg in self.pairs:
            probs = self.block(src, trg) * self.trans[np.ix_(src, trg)]
            tokens = []
            for j in range(len(trg)):
                column = np.where(np.isnan(probs[:, j]), -np.inf, probs[:, j])
                tokens.append(f"{j + 1}-{int(np.argmax(column))}")
            out.append(" ".join(tokens) + "\n")
        return "".join(out)


def score_from_files(src_path, trg_path, trans_path, align_path, character=False):
    """The scoring road on dense arrays: corpus, file words, uniform set-up, file values."""
    pairs, src_words, trg_words = load(src_path, trg_path, character)
    src_ids = {w: i for i, w in enumerate(src_words)}
    trg_ids = {w: i for i, w in enumerate(trg_words)}
    with open(trans_path, encoding="utf-8", newline="\n") as f:
        trans_lines = [line.removesuffix("\n").split("\t") for line in f]
    for fields in trans_lines:
        if len(fields) in (3, 4):
            src_ids.setdefault(fields[0], len(src_ids))
            trg_ids.setdefault(fields[1], len(trg_ids))
    ref = Model2Reference(pairs, len(src_ids), len(trg_ids))
    for fields in trans_lines:
        if len(fields) in (3, 4):
            ref.trans[src_ids[fields[0]], trg_ids[fields[1]]] = float(fields[2])
    if align_path is not None:
        with open(align_path, encoding="utf-8") as f:
            for line in f:
                fields = line.removesuffix("\n").split("\t")
                if len(fields) in (5, 6):
                    a, b, c, d = (int(x) for x in fields[:4])
                    ref.align[a - 1, b - 1, c - 1, d] = float(fields[4])
    return ref
