import pytest

from zel.common import files

SUFFIXES = ["", ".gz", ".bz2", ".xz"]
TEXT = "first line\nsecond with a stray \r inside\nthird\r\n日本語 ümlaut\nno end"


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_text_round_trip_keeps_lines_and_carriage_returns(tmp_path, suffix):
    path = tmp_path / f"corpus.txt{suffix}"
    with files.open(str(path), "wt") as out:
        out.write(TEXT)
    with files.open(str(path)) as f:
        lines = list(f)
    assert lines == [
        "first line\n",
        "second with a stray \r inside\n",
        "third\r\n",
        "日本語 ümlaut\n",
        "no end",
    ]


@pytest.mark.parametrize("suffix", [".gz", ".bz2", ".xz"])
def test_compressed_files_are_really_compressed(tmp_path, suffix):
    path = tmp_path / f"big.txt{suffix}"
    with files.open(path, "wt") as out:
        out.write("the same line again\n" * 10000)
    assert path.stat().st_size < 20000
    with files.open(path, "rb") as raw:
        assert raw.read().count(b"\n") == 10000


def test_binary_mode_and_append(tmp_path):
    path = tmp_path / "a.txt"
    with files.open(path, "wt") as out:
        out.write("a\n")
    with files.open(path, "at") as out:
        out.write("b\n")
    with files.open(path, "rb") as raw:
        assert raw.read() == b"a\nb\n"


def test_invalid_utf8_fails_when_read_as_text(tmp_path):
    path = tmp_path / "bad.txt"
    path.write_bytes(b"ok\n\xff\n")
    with pytest.raises(UnicodeDecodeError), files.open(path) as f:
        f.read()


def test_missing_file_raises(tmp_path):
    with pytest.raises(FileNotFoundError):
        files.open(tmp_path / "missing.txt")
