import subprocess
import sys

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


@pytest.mark.parametrize("suffix", SUFFIXES)
def test_a_written_file_is_complete_or_untouched(tmp_path, suffix):
    path = tmp_path / f"out.txt{suffix}"
    with files.open(path, "wt") as out:
        out.write("before\n")
    with pytest.raises(RuntimeError), files.open(path, "wt") as out:
        out.write("half of it\n")
        raise RuntimeError
    unfinished = files.open(path, "wt")
    unfinished.write("dropped without close\n")
    unfinished.discard()
    with files.open(path) as f:
        assert f.read() == "before\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == [path.name], "no temporary file left"


def test_a_link_is_written_through_and_the_mode_kept(tmp_path):
    target = tmp_path / "target.txt"
    target.write_text("old\n")
    target.chmod(0o640)
    link = tmp_path / "link.txt"
    link.symlink_to(target.name)
    with files.open(link, "wt") as out:
        out.write("new\n")
    assert link.is_symlink() and target.read_text() == "new\n"
    assert target.stat().st_mode & 0o777 == 0o640


def test_write_and_close_errors_name_the_file(tmp_path):
    with pytest.raises(OSError, match=r"No space left on device: '/dev/full'"):
        with files.open("/dev/full", "wt") as out:
            out.write("x" * 100_000)
    folder = tmp_path / "gone"
    folder.mkdir()
    out = files.open(folder / "f.txt", "wt")
    out.write("x\n")
    for leftover in folder.iterdir():
        leftover.unlink()
    folder.rmdir()
    with pytest.raises(FileNotFoundError, match=r"f\.txt"):
        out.close()


def test_an_output_that_is_an_input_is_refused(tmp_path):
    source = tmp_path / "in.txt"
    source.write_text("x\n")
    (tmp_path / "alias.txt").symlink_to(source)
    files.check_outputs([tmp_path / "new.txt", None, ""], [source, None])
    with pytest.raises(ValueError, match=r"output file .*alias.txt is the input file .*in.txt"):
        files.check_outputs([tmp_path / "alias.txt"], [source])


def test_a_device_reached_through_a_pipe_is_written_to():
    code = (
        "from zel.common import files; f = files.open('/dev/stdout', 'wt'); f.write('x'); f.close()"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (0, "x"), result.stderr


def test_an_output_that_cannot_be_made_is_named_not_its_temporary_file(tmp_path):
    with pytest.raises(FileNotFoundError) as caught:
        files.open(tmp_path / "missing" / "f.txt", "wt")
    assert caught.value.filename == str(tmp_path / "missing" / "f.txt")
