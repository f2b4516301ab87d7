import itertools

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zel.smt.align import _links, symmetrize

# Pair 1 (4 source, 4 target words): forward links (0,0) (1,1) (0,3), target word 2 on NULL;
# backward links (0,0) only. (1,1) is a diagonal neighbour of the one common link, so only the
# grow steps take it; (0,3) joins an aligned source word to an unaligned target word, so
# grow-diag-final takes it and grow-diag-final-and does not.
# Pair 2: the same with backward (3,3) too, joining two unaligned words: both finals take it;
# grow-diag-final has taken (0,3) with the forward links before.
# Pair 3: an empty target side, its source word on NULL.
FORWARD = "1-1 2-2 3-0 4-1\n1-1 2-2 3-0 4-1\n\n"
BACKWARD = "1-1 2-0 3-0 4-0\n1-1 2-0 3-0 4-4\n1-0\n"
EXPECTED = {
    "intersection": ["0-0", "0-0", ""],
    "union": ["0-0 0-3 1-1", "0-0 0-3 1-1 3-3", ""],
    "grow-diag": ["0-0 1-1", "0-0 1-1", ""],
    "grow-diag-final": ["0-0 0-3 1-1", "0-0 0-3 1-1 3-3", ""],
    "grow-diag-final-and": ["0-0 1-1", "0-0 1-1 3-3", ""],
}


@pytest.fixture
def decoded(tmp_path):
    forward, backward = tmp_path / "f.txt", tmp_path / "b.txt"
    forward.write_text(FORWARD)
    backward.write_text(BACKWARD)
    return forward, backward


@pytest.mark.parametrize("heuristic", symmetrize.HEURISTICS)
def test_heuristics_on_hand_made_links(decoded, tmp_path, heuristic):
    out = tmp_path / "out.txt"
    assert symmetrize.symmetrize(*decoded, out, heuristic) == 3
    assert out.read_text() == "".join(line + "\n" for line in EXPECTED[heuristic])


def test_each_direction_as_links(decoded, tmp_path):
    forward, backward = decoded
    symmetrize.to_links(forward, tmp_path / "f.links")
    symmetrize.to_links(backward, tmp_path / "b.links", reversed=True)
    assert (tmp_path / "f.links").read_text() == "0-0 0-3 1-1\n0-0 0-3 1-1\n\n"
    assert (tmp_path / "b.links").read_text() == "0-0\n0-0 3-3\n\n"


@pytest.mark.parametrize(
    ("forward", "backward", "message"),
    [
        ("1-1\n1-1\n", "1-1\n", "b.txt has 1 line, .*f.txt has more"),
        ("1-1\n", "1-1\n1-1\n", "f.txt has 1 line, .*b.txt has more"),
        ("1-1\n2-x\n", "1-1\n1-1\n", "f.txt, line 2: '2-x' is not a decoded link"),
        ("1-1\n1-2\n", "1-1\n1-1\n", "f.txt, line 2: source position 2 is beyond the 1 words"),
        ("1-1\n", "3-1\n", "b.txt, line 1: target position 3 is beyond the line's 1 words"),
        ("1-1\n", "0-1\n", "b.txt, line 1: '0-1' is not a decoded link"),
    ],
)
def test_files_of_other_pairs_are_refused_at_their_line(tmp_path, forward, backward, message):
    (tmp_path / "f.txt").write_text(forward)
    (tmp_path / "b.txt").write_text(backward)
    out = tmp_path / "out.txt"
    with pytest.raises(ValueError, match=message):
        symmetrize.symmetrize(tmp_path / "f.txt", tmp_path / "b.txt", out)


def decoded_lines(draw_lengths):
    """Random decoded lines of one pair in both directions: each word links to one word or NULL."""
    return draw_lengths.flatmap(
        lambda lengths: st.tuples(
            st.lists(st.integers(0, lengths[0]), min_size=lengths[1], max_size=lengths[1]),
            st.lists(st.integers(0, lengths[1]), min_size=lengths[0], max_size=lengths[0]),
        )
    )


def as_line(sources):
    return " ".join(f"{j}-{i}" for j, i in enumerate(sources, 1))


def as_set(line):
    return {tuple(map(int, token.split("-"))) for token in line.split()}


@settings(max_examples=300, deadline=None)
@given(decoded_lines(st.tuples(st.integers(1, 7), st.integers(1, 7))))
def test_heuristics_nest(pair):
    forward, backward = as_line(pair[0]), as_line(pair[1])
    result = {
        h: as_set(_links.symmetrize([forward], [backward], h, "f", "b", 1))
        for h in symmetrize.HEURISTICS
    }
    chain = ["intersection", "grow-diag", "grow-diag-final", "union"]
    for smaller, larger in itertools.pairwise(chain):
        assert result[smaller] <= result[larger]
    assert result["grow-diag"] <= result["grow-diag-final-and"] <= result["union"]
    # Every word with a link in either direction keeps one after grow-diag-final.
    for side in (0, 1):
        words = [{link[side] for link in result[h]} for h in ("union", "grow-diag-final")]
        assert words[0] == words[1]


def test_the_command_line(decoded, tmp_path):
    out = tmp_path / "out.txt"
    assert symmetrize.main([str(decoded[0]), str(decoded[1]), str(out), "-H", "union", "-q"]) == 0
    assert out.read_text().splitlines() == EXPECTED["union"]
    assert symmetrize.main([str(decoded[0]), str(tmp_path / "missing"), str(out), "-q"]) == 1
