import pytest

from zel.smt.align import evaluate

# Two pairs. Predicted A: {(0,0), (1,1), (2,2)} and {(0,1)}. Gold S: {(0,0), (2,1)} and {(0,1)};
# possible beyond S: {(1,1)} and {(1,0)}. |A & S| = 2, |A & P| = 3, |A| = 4, |S| = 3:
# AER = 1 - 5/7, precision 3/4, recall 2/3; P holds 5 links.
LINKS = "0-0 1-1 2-2\n0-1\n"
GOLD = {
    "links": "0-0 1p1 2-1\n0-1 1?0\n",
    # 1-based, source first; a NULL link (position 0) is left out, S is the default kind.
    "wpt": "1 1 1 S\n1 2 2 P\n1 3 2\n1 0 3 S\n2 1 2 S\n2 2 1 P\n",
}


@pytest.mark.parametrize("gold_format", ["links", "wpt"])
@pytest.mark.parametrize("given_format", [True, False])
def test_scores_of_both_gold_formats(tmp_path, gold_format, given_format):
    (tmp_path / "a.txt").write_text(LINKS)
    (tmp_path / "gold").write_text(GOLD[gold_format])
    scores = evaluate.evaluate(
        tmp_path / "a.txt", tmp_path / "gold", gold_format if given_format else "auto"
    )
    assert scores.aer == pytest.approx(2 / 7)
    assert (scores.precision, scores.recall) == (pytest.approx(3 / 4), pytest.approx(2 / 3))
    assert (scores.links, scores.sure, scores.possible) == (4, 3, 5)


def test_decoded_and_reversed_inputs(tmp_path):
    # The same links as a source-to-target decoded file, and a gold file target first.
    (tmp_path / "d.txt").write_text("1-1 2-2 3-3\n1-0 2-1\n")
    (tmp_path / "gold").write_text("0-0 1p1 1-2\n1-0 0?1\n")
    scores = evaluate.evaluate(
        tmp_path / "d.txt", tmp_path / "gold", decoded=True, reverse_gold=True
    )
    assert scores.aer == pytest.approx(2 / 7)


@pytest.mark.parametrize(
    ("links", "gold", "first", "message"),
    [
        ("0-0\n0-0\n", "0-0\n", None, r"a.txt has 2 pairs, .*gold has 1 \(--first 1"),
        ("0-0\n", "0-0\n0-0\n", None, r"a.txt has 1 pairs, .*gold has 2$"),
        ("0-0 1:1\n", "0-0\n", None, r"a.txt, line 1: '1:1' is not a link"),
        ("0-0\n", "1 1 1 X\n", None, r"gold, line 1: 'X' is not a link kind"),
        ("0-0\n", "0-0 1x1\n", None, r"gold, line 1: '1x1' is not a gold link"),
    ],
)
def test_mismatches_are_named(tmp_path, links, gold, first, message):
    (tmp_path / "a.txt").write_text(links)
    (tmp_path / "gold").write_text(gold)
    with pytest.raises(ValueError, match=message):
        evaluate.evaluate(tmp_path / "a.txt", tmp_path / "gold", first=first)


def test_the_command_line_prints_one_line(tmp_path, capsys):
    (tmp_path / "a.txt").write_text(LINKS + "0-0\n")
    (tmp_path / "gold").write_text(GOLD["wpt"])
    assert evaluate.main([str(tmp_path / "a.txt"), str(tmp_path / "gold"), "--first", "2"]) == 0
    assert capsys.readouterr().out == (
        "AER 0.2857  precision 0.7500  recall 0.6667  links 4  sure 3  possible 5\n"
    )
    assert evaluate.main([str(tmp_path / "a.txt"), str(tmp_path / "gold")]) == 1


def test_first_trims_both_files_and_ratios_over_nothing_are_undefined(tmp_path, capsys):
    (tmp_path / "a.txt").write_text("\n" + LINKS)
    (tmp_path / "gold").write_text("\n" + GOLD["links"] + "0-0\n")
    assert evaluate.main([str(tmp_path / "a.txt"), str(tmp_path / "gold"), "--first", "1"]) == 0
    assert capsys.readouterr().out == (
        "AER undefined  precision undefined  recall undefined  links 0  sure 0  possible 0\n"
    )
    scores = evaluate.evaluate(tmp_path / "a.txt", tmp_path / "gold", first=3)
    assert scores.aer == pytest.approx(2 / 7)
