import os
import subprocess
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

from zel.smt.align import show

SVG = "{http://www.w3.org/2000/svg}"


def test_a_pair_as_text_with_gold_links():
    # Predicted: the-das (sure), house-Haus (possible), 名前-das (wrong); 名前-Haus sure, missed.
    text = show.render_text(
        ["the", "house", "名前"],
        ["das", "Haus"],
        {(0, 0), (1, 1), (2, 0)},
        {(0, 0), (2, 1)},
        {(1, 1)},
    )
    assert text == (
        "      d H\n      a a\n      s u\n        s\nthe   ██·\nhouse · ▓▓\n名前  ▒▒[]\n"
    )
    # A wide character fills its column; colour codes wrap each mark on request.
    assert show.render_text(["a"], ["日本"], {(0, 0)}) == "  日\n  本\na ██\n"
    assert show.render_text(["a"], ["b"], {(0, 0)}, colour=True) == "  b\na \033[32m██\033[0m\n"


@pytest.fixture
def corpus(tmp_path):
    (tmp_path / "s").write_text("a b\nc d e\n")
    (tmp_path / "t").write_text("x y\nz\n")
    (tmp_path / "links").write_text("0-0 1-1\n2-0\n")
    (tmp_path / "gold").write_text("0-0 1p1 0-1\n1-0\n")
    return tmp_path


def test_pictures_mark_every_link(corpus):
    paths = [str(corpus / name) for name in ("s", "t", "links")]
    show.show(*paths, pairs=[1, 2], gold_path=corpus / "gold", output=corpus / "p.svg")
    root = ET.parse(corpus / "p.svg").getroot()
    pictures = root.findall(f"{SVG}svg")
    assert [p.find(f"{SVG}title").text for p in pictures] == ["pair 1", "pair 2"]
    marks = [
        [
            r.find(f"{SVG}title").text
            for r in p.iter(f"{SVG}rect")
            if r.find(f"{SVG}title") is not None
        ]
        for p in pictures
    ]
    assert marks == [["sure", "possible"], ["wrong"]]
    outlines = [
        len([r for r in p.findall(f"{SVG}rect") if r.get("stroke") == "#1565c0"]) for p in pictures
    ]
    assert outlines == [3, 1]
    legend = [t.text for t in pictures[0].find(f"{SVG}g").iter(f"{SVG}text")]
    assert legend[0] == "predicted, sure" and legend[-1] == "possible gold link"
    show.show(*paths, pairs=[2], output=corpus / "p.html")
    page = (corpus / "p.html").read_text()
    assert page.startswith("<!DOCTYPE html>") and page.count("<svg") == 1 and "pair 2" in page


@pytest.mark.parametrize(
    ("argv", "message"),
    [
        (["--pairs", "3"], "there is no pair 3: the corpus has 2"),
        (["--pairs", "1-999999999999"], "there is no pair 999999999999: the corpus has 2"),
        (["--pairs", "1", "--gold", "short"], "short has no pair 1 (it has 0 pairs)"),
        (["--pairs", "2-1"], "not a range"),
        (["--output", "p.png"], "must end in .svg or .html"),
    ],
)
def test_the_command_line_names_what_is_wrong(corpus, caplog, argv, message):
    (corpus / "short").write_text("")
    paths = [str(corpus / name) for name in ("s", "t", "links")]
    assert show.main([*paths, *(a.replace("short", str(corpus / "short")) for a in argv)]) == 1
    assert message in caplog.text


def test_links_of_another_corpus_are_refused(corpus):
    (corpus / "links").write_text("0-0 1-1\n0-3\n")
    with pytest.raises(ValueError, match="pair 2: link 0-3 is beyond its 3 source and 1 target"):
        show.show(corpus / "s", corpus / "t", corpus / "links", pairs=[2])


def test_wide_words_get_their_width_in_a_picture():
    narrow, wide = show._svg_box(["ab"], ["x"]), show._svg_box(["日本"], ["x"])
    assert wide[0] == narrow[0] + 2 * show._PX


def test_a_reader_that_goes_away_ends_the_command_quietly(corpus):
    read, write = os.pipe()
    os.close(read)
    paths = [str(corpus / name) for name in ("s", "t", "links")]
    result = subprocess.run(
        [str(Path(sys.executable).parent / "zel-show"), *paths],
        stdout=write,
        stderr=subprocess.PIPE,
    )
    os.close(write)
    assert (result.returncode, result.stderr) == (141, b"")
