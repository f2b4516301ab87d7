import pytest

from zel.common import files, logging, progress


@pytest.fixture(autouse=True)
def redraw_always(monkeypatch):
    monkeypatch.setattr(progress, "_REDRAW_SECONDS", 0.0)


ITEMS = [3, "x", None, (1, 2), 3]


@pytest.mark.parametrize("max_count", [None, 5, 2])
def test_view_yields_items_unchanged_and_in_order(terminal, max_count):
    items = list(progress.view(iter(ITEMS), "processing", max_count=max_count))
    assert items == ITEMS
    assert items[3] is ITEMS[3]
    assert "processing" in terminal()


def test_view_draws_a_bar_with_the_known_length(terminal):
    assert list(progress.view(range(4), "storing")) == [0, 1, 2, 3]
    drawn = terminal()
    assert "storing" in drawn
    assert "100.0%" in drawn
    assert drawn.endswith("\n")


@pytest.mark.parametrize("quiet", [True, False])
def test_quiet_hides_the_bar_on_a_terminal(terminal, quiet):
    with logging.using_config("zel.tests.progress", quiet=quiet):
        assert list(progress.view([1, 2], "loading")) == [1, 2]
    assert ("loading" in terminal()) is not quiet


def test_no_bar_on_a_pipe(pipe):
    assert list(progress.view([1, 2], "loading")) == [1, 2]
    assert pipe() == ""


@pytest.mark.parametrize("suffix", ["", ".gz"])
def test_view_of_a_path_yields_its_lines_and_closes(tmp_path, suffix, pipe):
    path = tmp_path / f"lines.txt{suffix}"
    with files.open(path, "wt") as out:
        out.write("a\tb\nc\r\n\nlast")
    with progress.view(str(path), "reading") as lines:
        assert list(lines) == ["a\tb\n", "c\r\n", "\n", "last"]
    assert lines._file is None


def test_file_reader_lines_and_raw_reads_agree(tmp_path, pipe):
    path = tmp_path / "corpus.txt"
    path.write_bytes("x y\nz\r\n日本\n".encode())
    assert list(progress.FileReader(str(path), "loading")) == ["x y\n", "z\r\n", "日本\n"]
    buffer = bytearray(4)
    chunks = []
    with progress.FileReader(str(path), "loading") as reader:
        while n := reader.readinto(buffer):
            chunks.append(bytes(buffer[:n]))
    assert b"".join(chunks) == path.read_bytes()


def test_file_reader_names_file_and_line_of_invalid_utf8(tmp_path, pipe):
    path = tmp_path / "bad.txt"
    path.write_bytes(b"fine\nstill fine\nbad \xff here\n")
    with pytest.raises(UnicodeDecodeError, match=r"bad\.txt, line 3"):
        list(progress.FileReader(str(path), "loading"))


def test_file_reader_shows_bytes_progress(tmp_path, terminal):
    path = tmp_path / "c.txt"
    path.write_text("a\n" * 100)
    list(progress.FileReader(str(path), "loading"))
    out = terminal()
    assert "loading" in out
    assert "100.0%" in out
