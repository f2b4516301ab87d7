"""The HMM alignment model against a dense formulation: every alignment of a pair enumerated,
the E-step's counts and the M-step written out over whole tables."""

import itertools
import logging
import math
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from zel.smt.align import bidirectional, hmm, hmm_road

B = hmm.JUMP_BOUND
TOY = Path(__file__).resolve().parents[3] / "data" / "toy"
EULER = 0.57721566490153286


def bucket(width):
    return min(max(width, -B), B) + B


def enumerate_pair(emit, weights, p0):
    """Log-likelihood, posteriors [m, l + 1], expected jumps, expected widths there were beyond
    the bound (below, above), expected NULL words and the most probable alignment, by summing
    over every alignment of the pair."""
    m, n = emit.shape
    src_len = n - 1
    p_null = 1.0 if src_len == 0 else p0
    total, best, best_prob = 0.0, None, -1.0
    post, jumps, null, wide = np.zeros((m, n)), np.zeros(2 * B + 1), 0.0, np.zeros(2)
    for a in itertools.product(range(n), repeat=m):
        prob, prev, used = 1.0, 0, []
        for j, i in enumerate(a):
            if i == 0:
                prob *= p_null * emit[j, 0]
                continue
            z = sum(weights[bucket(k - prev)] for k in range(1, n))
            prob *= (1 - p_null) * weights[bucket(i - prev)] / z * emit[j, i]
            used.append((bucket(i - prev), max(0, prev - B), max(0, src_len - prev - B + 1)))
            prev = i
        total += prob
        for j, i in enumerate(a):
            post[j, i] += prob
        for b, below, above in used:
            jumps[b] += prob
            wide += prob * np.array([below, above])
        null += prob * a.count(0)
        if prob > best_prob:
            best, best_prob = a, prob
    return math.log(total), post / total, jumps / total, wide / total, null / total, list(best)


@pytest.mark.parametrize(
    ("n", "m", "p0"), [(0, 2, 0.2), (1, 1, 0.2), (3, 4, 0.3), (9, 4, 0.1), (10, 3, 0.0)]
)
def test_pair_kernels_match_every_alignment_summed(n, m, p0):
    # n source words: longer than the bound exercises the shared outer widths on both sides.
    rng = np.random.default_rng(n * 10 + m)
    emit = rng.uniform(0.01, 1.0, (m, n + 1))
    weights = rng.uniform(0.1, 1.0, 2 * B + 1)
    ll, post, jumps, below, above, null, real = hmm.pair_posteriors(emit, weights, p0)
    want_ll, want_post, want_jumps, want_wide, want_null, best = enumerate_pair(emit, weights, p0)
    assert ll == pytest.approx(want_ll, rel=1e-12)
    np.testing.assert_allclose(post, want_post, rtol=1e-11, atol=1e-15)
    np.testing.assert_allclose(post.sum(axis=1), 1.0, rtol=1e-12)
    np.testing.assert_allclose(jumps, want_jumps, rtol=1e-11, atol=1e-15)
    np.testing.assert_allclose([below, above], want_wide, rtol=1e-11, atol=1e-15)
    assert (null, real) == pytest.approx((want_null, m - want_null), rel=1e-11, abs=1e-15)
    assert hmm.pair_viterbi(emit, weights, p0).tolist() == best


def digamma(x):
    shift = 0.0
    while x < 12:
        shift -= 1 / x
        x += 1
    r = 1 / (x * x)
    series = r * (
        1 / 12 - r * (1 / 120 - r * (1 / 252 - r * (1 / 240 - r * (1 / 132 - r * 691 / 32760))))
    )
    return shift + math.log(x) - 0.5 / x - series


def test_reference_digamma():
    assert digamma(1.0) == pytest.approx(-EULER, rel=1e-14)
    assert digamma(0.5) == pytest.approx(-EULER - 2 * math.log(2), rel=1e-14)


# Repeated words, one-word sentences, an empty side, a long pair and a NULL-heavy pair.
PAIRS = [
    ("a b c", "x y z"),
    ("a a b", "x x"),
    ("c", "z"),
    ("b c d", "y"),
    ("", "w"),
    ("d", ""),
    ("a b c d a", "x y z w"),
    ("d d", "w w w w"),
]


def write_corpus(tmp_path, pairs=PAIRS):
    src, trg = tmp_path / "src", tmp_path / "trg"
    src.write_text("".join(s + "\n" for s, _ in pairs))
    trg.write_text("".join(t + "\n" for _, t in pairs))
    return src, trg


def posteriors(table, src_ids, trg_ids, jumps):
    weights, p0 = jumps
    emit = np.array([[table[s, t] for s in [0, *src_ids]] for t in trg_ids]).reshape(
        len(trg_ids), len(src_ids) + 1
    )
    if not trg_ids:
        return np.zeros((0, len(src_ids) + 1)), np.zeros(2 * B + 1), np.zeros(2), 0.0, 0.0
    _, post, jumps_, wide, null, _ = enumerate_pair(emit, weights, p0)
    return post, jumps_, wide, null, len(trg_ids) - null


@pytest.mark.parametrize(("agreement", "prior"), [(False, 0.0), (True, 0.0), (True, 0.5)])
def test_one_iteration_matches_the_dense_formulation(tmp_path, agreement, prior):
    src, trg = write_corpus(tmp_path)
    kwargs = dict(model1_iterations=2, agreement=agreement, prior=prior)
    before = hmm.HmmAligner(src, trg, iterations=0, **kwargs)
    before.train()
    after = hmm.HmmAligner(src, trg, iterations=1, **kwargs)
    after.train()
    tables, words = [], []
    for d in (0, 1):
        s_words, t_words, table = before.translations(d)
        tables.append(table)
        words.append(({w: k for k, w in enumerate(s_words)}, {w: k for k, w in enumerate(t_words)}))
    counts = [np.zeros_like(t) for t in tables]
    jump_counts = [np.zeros(2 * B + 1), np.zeros(2 * B + 1)]
    wide = [np.zeros(2), np.zeros(2)]
    null_real = [[0.0, 0.0], [0.0, 0.0]]
    for s_text, t_text in PAIRS:
        sides = (s_text.split(" "), t_text.split(" "))  # an empty line is one empty word
        ids = [
            ([words[d][0][w] for w in sides[d]], [words[d][1][w] for w in sides[1 - d]])
            for d in (0, 1)
        ]
        post = []
        for d in (0, 1):
            p, jumps, widths, null, real = posteriors(tables[d], *ids[d], before.jumps(d))
            post.append(p)
            jump_counts[d] += jumps
            wide[d] += widths
            null_real[d][0] += null
            null_real[d][1] += real
        n, m = len(sides[0]), len(sides[1])
        if agreement:
            q = np.array(
                [[post[0][j, i + 1] * post[1][i, j + 1] for j in range(m)] for i in range(n)]
            )
            q = q.reshape(n, m)
            links = [q, q.T]
            nulls = [1 - q.sum(axis=0), 1 - q.sum(axis=1)]
        else:
            links = [post[0][:, 1:].T, post[1][:, 1:].T]
            nulls = [post[0][:, 0], post[1][:, 0]]
        for d in (0, 1):
            s_ids, t_ids = ids[d]
            for j, t in enumerate(t_ids):
                counts[d][0, t] += nulls[d][j]
                for i, s in enumerate(s_ids):
                    counts[d][s, t] += links[d][i, j]
    for d in (0, 1):
        _, _, got = after.translations(d)
        if prior:
            vocab = counts[d].shape[1]
            norm = np.array([digamma(r.sum() + prior * vocab) for r in counts[d]])[:, None]
            want = np.exp(np.vectorize(digamma)(counts[d] + prior) - norm)
            # Cells no pair touches keep no count, only the prior, as the dense table has it.
        else:
            totals = counts[d].sum(axis=1, keepdims=True)
            want = np.where(totals > 0, counts[d] / np.where(totals > 0, totals, 1), tables[d])
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-300)
        weights, p0 = after.jumps(d)
        # Near widths: jumps per jump; outer ones: jumps per width there was.
        n = jump_counts[d]
        rate = (n + 0.1) / (n.sum() + 0.1)
        rate[0] = (n[0] + 0.1 * rate[1]) / (wide[d][0] + 0.1)
        rate[-1] = (n[-1] + 0.1 * rate[-2]) / (wide[d][1] + 0.1)
        np.testing.assert_allclose(weights, rate / rate.sum(), rtol=1e-12)
        assert p0 == pytest.approx(null_real[d][0] / sum(null_real[d]), rel=1e-12)


def test_the_road_writes_the_same_bytes_for_any_thread_count(tmp_path, monkeypatch):
    src, trg = (TOY / f"train.{s}" for s in ("src", "trg"))
    outputs = []
    for threads in ("1", "2", "3"):
        monkeypatch.setenv("ZEL_THREADS", threads)
        out = tmp_path / threads
        paths = bidirectional.align_both(
            {"src_path": src, "trg_path": trg, "outdir": out},
            iteration_limit=2,
            hmm_iterations=2,
            save_scores=True,
            quiet=True,
        )
        outputs.append({p.name: p.read_bytes() for p in sorted(out.iterdir())})
    assert outputs[0] == outputs[1] == outputs[2]
    names = set(outputs[0])
    for d in hmm_road.DIRECTIONS:
        assert {f"{d}.{k}.txt" for k in ("trans", "jumps", "links", "scores")} <= names
    final = paths["final"].read_text().splitlines()
    assert len(final) == 3000 and all(final[:10])
    jumps = (out / "src-trg.jumps.txt").read_text().splitlines()
    assert jumps[0].startswith("null\t") and [j.split("\t")[0] for j in jumps[1:]] == [
        str(w) for w in range(-B, B + 1)
    ]
    weights = np.array([float(j.split("\t")[1]) for j in jumps[1:]])
    assert weights.sum() == pytest.approx(1.0) and weights.argmax() == B + 1  # one word on


# Pruning at 1.0 leaves no cell at all (none reaches it on this corpus): every target word
# still links, through the value the pruned cells read.
@pytest.mark.parametrize("prune", [1e-3, 1.0])
def test_pruned_tables_train_and_sample_to_the_same_bytes_for_any_thread_count(
    tmp_path, monkeypatch, caplog, prune
):
    src, trg = (TOY / f"train.{s}" for s in ("src", "trg"))
    outputs = []
    for threads in ("1", "3"):
        monkeypatch.setenv("ZEL_THREADS", threads)
        out = tmp_path / threads
        with caplog.at_level(logging.INFO):
            paths = bidirectional.align_both(
                {"src_path": src, "trg_path": trg, "outdir": out},
                iteration_limit=2,
                hmm_iterations=2,
                sampling_iterations=2,
                prune=prune,
            )
        outputs.append({p.name: p.read_bytes() for p in sorted(out.iterdir())})
    assert outputs[0] == outputs[1]
    kept = re.findall(r"cells kept for the HMM, \S+: ([\d,]+) of ([\d,]+)", caplog.text)
    assert len(kept) == 4
    assert all(int(k.replace(",", "")) < int(n.replace(",", "")) for k, n in kept)
    final = paths["final"].read_text().splitlines()
    assert len(final) == 3000 and sum(bool(line) for line in final) > 2900


def test_files_read_back_align_and_score_as_the_trained_model(tmp_path):
    src, trg = (TOY / f"train.{s}" for s in ("src", "trg"))
    conf = {"src_path": src, "trg_path": trg, "iteration_limit": 2, "hmm_iterations": 2}
    conf.update(model="hmm", threshold=0.0, nbest=None, save_scores=True, quiet=True)
    trained = bidirectional.align_both(conf, outdir=tmp_path / "model")
    scored = bidirectional.align_both(
        conf, outdir=tmp_path / "again", score_only=tmp_path / "model"
    )
    # The translation file holds 32-bit probabilities: scores agree to their precision.
    for d in hmm_road.DIRECTIONS:
        got, want = (np.loadtxt(p[d]["scores"]) for p in (scored, trained))
        np.testing.assert_allclose(got, want, rtol=1e-5)
    assert scored["final"].read_bytes() == trained["final"].read_bytes()


@pytest.mark.parametrize(
    ("text", "error"),
    [
        ("null\t0.2\n-7\tx\n", "line 2: not a finite number >= 0: 'x'"),
        ("null\t0.2\n" + "".join(f"{w}\t0.1\n" for w in range(-B, B)), f"no line for width {B}"),
        ("wide\t0.1\n", 'line 1: not "null" nor a width'),
        ("null\t0.2\n-7\t0.1\n-7\t0.2\n", "line 3: width -7 is listed twice"),
        ("null\t0.2\n" + "".join(f"{w}\t0\n" for w in range(-B, B + 1)), "every jump weight is 0"),
    ],
)
def test_a_bad_jump_file_is_named(tmp_path, text, error):
    src, trg = write_corpus(tmp_path)
    trained = bidirectional.align_both(
        {"src_path": src, "trg_path": trg, "outdir": tmp_path / "m"}, quiet=True
    )
    trained["trg-src"]["jumps"].write_text(text)
    with pytest.raises(ValueError, match=f"trg-src.jumps.txt.*{error}"):
        bidirectional.align_both(
            {"src_path": src, "trg_path": trg, "outdir": tmp_path / "o"},
            score_only=tmp_path / "m",
            quiet=True,
        )


@pytest.mark.parametrize("value", ["-0.5", "1e308"])
def test_translation_probabilities_out_of_range_are_refused(tmp_path, value):
    src, trg = write_corpus(tmp_path)
    trained = bidirectional.align_both(
        {"src_path": src, "trg_path": trg, "outdir": tmp_path / "m"},
        model="hmm",
        threshold=0.0,
        quiet=True,
    )
    path = trained["src-trg"]["trans"]
    lines = path.read_text().splitlines()
    source, target, _ = lines[-1].split("\t")
    path.write_text("\n".join([*lines[:-1], f"{source}\t{target}\t{value}"]) + "\n")
    refused = f"src-trg.trans.txt: the probability of '{target}' given '{source}' is {float(value)}"
    with pytest.raises(ValueError, match=re.escape(refused)):
        bidirectional.align_both(
            {"src_path": src, "trg_path": trg, "outdir": tmp_path / "o"},
            score_only=tmp_path / "m",
            quiet=True,
        )


@pytest.mark.parametrize(
    ("settings", "warning"),
    [
        ({"threshold": 2.0}, "threshold 2.0 keeps no entry"),
        ({"threshold": float("nan")}, "threshold nan keeps no entry"),
        ({"nbest": 0}, "nbest 0 keeps no entry"),
    ],
)
def test_settings_that_write_empty_translation_files_are_told(tmp_path, caplog, settings, warning):
    src, trg = write_corpus(tmp_path)
    with caplog.at_level(logging.WARNING, logger="zel"):
        paths = bidirectional.align_both(
            {"src_path": src, "trg_path": trg, "outdir": tmp_path / "o"}, **settings
        )
    assert paths["src-trg"]["trans"].read_text() == ""
    assert any(m.startswith(warning) for m in caplog.messages), caplog.messages


def test_a_word_holding_a_tab_is_refused_naming_its_line(tmp_path):
    src, trg = write_corpus(tmp_path, [*PAIRS[:2], ("a\tb", "x"), *PAIRS[2:]])
    with pytest.raises(ValueError, match=r"src, line 3: a word holds a tab"):
        bidirectional.align_both({"src_path": src, "trg_path": trg, "outdir": tmp_path / "o"})


def test_a_pair_whose_lattice_is_large_is_named(tmp_path, caplog):
    long = (" ".join(f"s{i}" for i in range(1100)), " ".join(f"t{i}" for i in range(1000)))
    src, trg = write_corpus(tmp_path, [*PAIRS, long])
    with caplog.at_level(logging.WARNING, logger="zel"):
        bidirectional.align_both(
            {"src_path": src, "trg_path": trg, "outdir": tmp_path / "o"},
            iteration_limit=1,
            hmm_iterations=1,
        )
    assert any(
        m.startswith(f"line {len(PAIRS) + 1}: a pair of 1,100 x 1,000 words")
        for m in caplog.messages
    ), caplog.messages


# Imported by the zel-align the test starts: the second HMM step announces itself with a file
# and then waits there for Ctrl-C, so the interrupt lands in training whatever the load.
HOLD = """
import logging, os, time
if os.environ.get("HOLD_DIR"):
    class Hold(logging.Handler):
        def emit(self, record):
            if record.getMessage().startswith("HMM step: 2 / "):
                open(os.path.join(os.environ["HOLD_DIR"], "held"), "w").close()
                while True:
                    time.sleep(0.01)
    logging.getLogger("zel").addHandler(Hold())
"""


def test_ctrl_c_writes_the_model_of_the_last_iteration(tmp_path):
    (tmp_path / "sitecustomize.py").write_text(HOLD)
    env = dict(os.environ, PYTHONPATH=str(tmp_path), HOLD_DIR=str(tmp_path))
    command = [Path(sys.executable).parent / "zel-align", TOY / "train.src", TOY / "train.trg"]
    process = subprocess.Popen(
        [*command, tmp_path / "out", "-I", "2", "--hmm-iterations", "3"],
        env=env,
        stderr=subprocess.PIPE,
        text=True,
    )
    while not (tmp_path / "held").exists() and process.poll() is None:
        time.sleep(0.01)
    process.send_signal(signal.SIGINT)
    _, log = process.communicate(timeout=300)
    assert process.returncode == 130, log
    assert "writing the model of the last iteration done" in log
    out = tmp_path / "out"
    assert len((out / "links.txt").read_text().splitlines()) == 3000
    for d in hmm_road.DIRECTIONS:
        assert (out / f"{d}.trans.txt").stat().st_size > 0
        assert (out / f"{d}.jumps.txt").read_text().startswith("null\t")
    assert not [p.name for p in out.iterdir() if p.name.startswith(".")]


def test_an_aligner_without_a_model_refuses_and_trains_once(tmp_path):
    src, trg = write_corpus(tmp_path)
    aligner = hmm.HmmAligner(src, trg, iterations=1)
    for write in (
        lambda: aligner.save_posterior_links(tmp_path / "p"),
        lambda: aligner.save_symmetrized_links(tmp_path / "s", "union"),
        lambda: aligner.save_translations(0, tmp_path / "t"),
        lambda: aligner.translations(1),
    ):
        with pytest.raises(ValueError, match=r"train\(\) or load\(\) first"):
            write()
    aligner.train()
    with pytest.raises(ValueError, match="trains or loads once"):
        aligner.train()
    assert not list(tmp_path.glob("[pst]"))


def test_decoded_links_are_the_dense_formulations(tmp_path):
    src, trg = write_corpus(tmp_path)
    aligner = hmm.HmmAligner(src, trg, model1_iterations=2, iterations=2)
    aligner.train()
    ids = []
    for d in (0, 1):
        s_words, t_words, table = aligner.translations(d)
        ids.append(({w: k for k, w in enumerate(s_words)}, {w: k for k, w in enumerate(t_words)}))
    viterbi, posterior = [[], []], []
    for s_text, t_text in PAIRS:
        sides = (s_text.split(" "), t_text.split(" "))
        post = []
        for d in (0, 1):
            _, _, table = aligner.translations(d)
            weights, p0 = aligner.jumps(d)
            s_ids = [ids[d][0][w] for w in sides[d]]
            t_ids = [ids[d][1][w] for w in sides[1 - d]]
            emit = np.array([[table[s, t] for s in [0, *s_ids]] for t in t_ids])
            emit = emit.reshape(len(t_ids), len(s_ids) + 1)
            _, p, _, _, _, best = enumerate_pair(emit, weights, p0)
            post.append(p)
            links = [(i - 1, j) if d == 0 else (j, i - 1) for j, i in enumerate(best) if i]
            viterbi[d].append(" ".join(f"{a}-{b}" for a, b in sorted(links)))
        n, m = len(sides[0]), len(sides[1])
        posterior.append(
            " ".join(
                f"{i}-{j}"
                for i in range(n)
                for j in range(m)
                if post[0][j, i + 1] * post[1][i, j + 1] >= 0.5
            )
        )
    for d in (0, 1):
        aligner.save_viterbi_links(d, tmp_path / f"v{d}")
        assert (tmp_path / f"v{d}").read_text().splitlines() == viterbi[d]
    aligner.save_posterior_links(tmp_path / "p", 0.5)
    assert (tmp_path / "p").read_text().splitlines() == posterior


@pytest.mark.parametrize(
    ("setting", "error"),
    [
        ({"posterior_threshold": float("nan")}, "posterior threshold must be from 0 to 1"),
        ({"posterior_threshold": 1.5}, "posterior threshold must be from 0 to 1"),
        ({"prior": -1.0}, "prior must be a finite number >= 0"),
        ({"prune": 1.5}, "--prune must be from 0 to 1"),
        ({"model": "ibm4"}, "unknown model 'ibm4'"),
        ({"model": "ibm2", "score_only": "m"}, "zel-score scores with IBM Model 2's"),
    ],
)
def test_settings_that_cannot_work_are_refused_before_training(tmp_path, setting, error):
    src, trg = write_corpus(tmp_path)
    with pytest.raises(ValueError, match=error):
        bidirectional.align_both(
            {"src_path": src, "trg_path": trg, "outdir": tmp_path / "o", **setting}
        )
    assert not list((tmp_path / "o").glob("*"))


@pytest.mark.parametrize("decoding", ["posterior", "viterbi"])
def test_the_final_links_posteriors_are_written_beside_them(tmp_path, decoding):
    src, trg = write_corpus(tmp_path)
    paths = bidirectional.align_both(
        {"src_path": src, "trg_path": trg, "outdir": tmp_path / "o"},
        decoding=decoding,
        write_link_posteriors=True,
    )
    lines = paths["final"].read_text().splitlines()
    posteriors = paths["posteriors"].read_text().splitlines()
    assert len(posteriors) == len(lines) == len(PAIRS)
    least = hmm_road.POSTERIOR_THRESHOLD if decoding == "posterior" else 0.0
    for links, tokens in zip(lines, posteriors, strict=True):
        pairs = tokens.split()
        assert " ".join(pairs[::2]) == links
        assert all(least <= float(p) <= 1.0 for p in pairs[1::2]), tokens
    with pytest.raises(ValueError, match=r"--write-link-posteriors .* takes no --model ibm2"):
        bidirectional.align_both(
            {"src_path": src, "trg_path": trg, "outdir": tmp_path / "i"},
            model="ibm2",
            write_link_posteriors=True,
        )
