"""The HMM with fertility on zel-align's road: the sampling's settings, its links and what it
keeps of the HMM."""

from pathlib import Path

import pytest

from zel.smt.align import bidirectional, evaluate

TOY = Path(__file__).resolve().parents[3] / "data" / "toy"
CORPUS = {"src_path": TOY / "train.src", "trg_path": TOY / "train.trg"}
SHORT = {"iteration_limit": 2, "hmm_iterations": 2, "quiet": True}


def written(out):
    return {p.name: p.read_bytes() for p in sorted(out.iterdir())}


def test_no_sampling_iterations_leave_the_hmm_as_trained(tmp_path):
    both = {**CORPUS, **SHORT, "posterior_threshold": 0.2}
    bidirectional.align_both(both, outdir=tmp_path / "hmm", model="hmm")
    bidirectional.align_both(
        both, outdir=tmp_path / "fertility", model="fertility", sampling_iterations=0
    )
    assert written(tmp_path / "fertility") == written(tmp_path / "hmm")


def test_sampling_improves_on_the_hmm_and_its_links_carry_their_marginals(tmp_path):
    gold = TOY / "train.gold"
    rates = {}
    for model in ("hmm", "fertility"):
        paths = bidirectional.align_both(
            {**CORPUS, **SHORT},
            outdir=tmp_path / model,
            model=model,
            sampling_iterations=10,
            write_link_posteriors=True,
        )
        rates[model] = evaluate.evaluate(paths["final"], gold).aer
    assert rates["fertility"] < rates["hmm"], rates
    # Each final link's marginal product reaches the threshold and no more than 1.
    lines = (tmp_path / "fertility" / "links.posteriors.txt").read_text().splitlines()
    final = (tmp_path / "fertility" / "links.txt").read_text().splitlines()
    for scored, links in zip(lines, final, strict=True):
        tokens = scored.split()
        assert tokens[0::2] == links.split()
        assert all(0.1 <= float(p) <= 1.0 + 1e-6 for p in tokens[1::2]), scored


@pytest.mark.parametrize(
    ("setting", "value", "message"),
    [
        ("chains", 0, "--chains must be a whole number from 1"),
        ("chains", 1001, "--chains must be a whole number from 1 to 1,000"),
        ("sampling_iterations", -1, "--sampling-iterations must be a whole number from 0"),
        ("seed", -1, "--seed must be a whole number from 0"),
        ("seed", 2**64, "--seed must be a whole number from 0"),
        ("seed", True, "--seed must be a whole number"),
    ],
)
def test_bad_sampling_settings_are_refused_by_name(tmp_path, setting, value, message):
    with pytest.raises(ValueError, match=message):
        bidirectional.align_both({**CORPUS, **SHORT}, outdir=tmp_path, **{setting: value})
    assert not tmp_path.joinpath("links.txt").exists()
