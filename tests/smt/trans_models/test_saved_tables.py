import os
import pickle
import random
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from smt.trans_models.table_model import LineRecord, ModelIndex
from smt.trans_models.test_tables import MOSES, TRAVATAR, Lowered, write

from zel.common import progress
from zel.smt.trans_models import tables

KINDS = [
    (tables.MosesTable, MOSES, {}),
    (tables.MosesTable, MOSES, {"trg_key": True}),
    (tables.TravatarTable, TRAVATAR, {"trg_key": True, "key_type": "src_symbols"}),
    (tables.TravatarTable, TRAVATAR, {"key_type": "src_tree"}),
]


@pytest.fixture
def moses_path(tmp_path):
    return write(tmp_path, MOSES)


def answers(table, lines, trg_key):
    """Every search of the table's own sides, as texts."""

    def texts(records):
        return sorted(r.to_str() for r in records)

    found = [len(table), texts(table)]
    for src, trg in (line.split("|||")[:2] for line in ModelIndex(lines).lines):
        found += [texts(table.find_src(src)), texts(table.find(src))]
        if trg_key:
            found += [texts(table.find_trg(trg.strip(), k)) for k in (0, -1)]
            found.append(texts(table.find_trg(trg)))
    return found


@pytest.mark.parametrize(("cls", "lines", "options"), KINDS)
def test_an_opened_index_answers_as_the_saved_one(tmp_path, cls, lines, options):
    path = write(tmp_path, lines)
    table = cls(path, **options)
    table.save(tmp_path / "index")
    Path(path).unlink()
    opened = cls.open(tmp_path / "index")
    assert type(opened) is cls
    want = answers(table, lines, options.get("trg_key"))
    assert answers(opened, lines, options.get("trg_key")) == want
    # An opened table pickles like any other, and is saved again whole.
    assert answers(pickle.loads(pickle.dumps(opened)), lines, options.get("trg_key")) == want
    opened.save(tmp_path / "again")
    assert (tmp_path / "again").read_bytes() == (tmp_path / "index").read_bytes()


def test_a_host_subclass_and_its_record_class_come_back(tmp_path, moses_path):
    table = Lowered(moses_path)
    table.save(str(tmp_path / "index"))
    opened = Lowered.open(str(tmp_path / "index"))
    assert type(opened) is Lowered and opened.calls == table.calls
    assert opened.find_src("DAS").__next__().__class__ is LineRecord
    with pytest.raises(ValueError, match="saved from a table of LineRecord records, not Moses"):
        tables.MosesTable.open(tmp_path / "index")


def test_damaged_truncated_and_foreign_files_are_refused(tmp_path):
    table = tables.MosesTable(write(tmp_path, MOSES), trg_key=True)
    table.save(tmp_path / "index")
    good = (tmp_path / "index").read_bytes()
    want = answers(table, MOSES, True)
    rng = random.Random(5)
    damaged = []
    for position in rng.sample(range(len(good)), 200):
        data = bytearray(good)
        data[position] ^= 1 << rng.randrange(8)
        damaged.append(bytes(data))
    damaged += [good[:n] for n in rng.sample(range(len(good)), 50)] + [b"", b"ZELINDEX" * 9]
    refused = 0
    for data in damaged:
        (tmp_path / "bad").write_bytes(data)
        try:
            # Opening reads the fixed part only; a damaged trie is found at its first search.
            assert answers(tables.MosesTable.open(tmp_path / "bad"), MOSES, True) == want
        except ValueError as e:
            assert str(e).startswith(f"{tmp_path / 'bad'}: ")
            refused += 1
    # What passes unnoticed is padding between the parts.
    assert refused > len(damaged) * 0.95
    with pytest.raises(ValueError, match="not a saved rule-table index"):
        tables.Table.open(write(tmp_path, MOSES, "plain.txt"))
    with pytest.raises(FileNotFoundError):
        tables.Table.open(tmp_path / "missing")


def test_an_interrupted_save_leaves_the_old_file(tmp_path, monkeypatch, moses_path):
    table = tables.MosesTable(moses_path)
    (tmp_path / "index").write_bytes(b"old")

    def interrupt(self, n=1):
        raise KeyboardInterrupt

    monkeypatch.setattr(progress.Bar, "advance", interrupt)
    with pytest.raises(KeyboardInterrupt):
        table.save(tmp_path / "index")
    assert (tmp_path / "index").read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["index", "table.txt"]


def test_a_save_goes_through_a_link_and_refuses_what_is_not_a_file(tmp_path, moses_path):
    table = tables.MosesTable(moses_path)
    (tmp_path / "real").write_bytes(b"old")
    (tmp_path / "link").symlink_to("real")
    table.save(tmp_path / "link")
    assert (tmp_path / "link").is_symlink()
    assert len(tables.MosesTable.open(tmp_path / "real")) == len(table)
    for path in ("/dev/null", tmp_path):
        with pytest.raises(ValueError, match="not a regular file"):
            table.save(path)
    assert os.path.exists("/dev/null") and not os.path.isfile("/dev/null")


def test_sigterm_during_a_save_removes_the_temporary_file_then_ends_the_process(
    tmp_path, moses_path
):
    (tmp_path / "index").write_bytes(b"old")
    code = f"""
import signal
from zel.common import progress
from zel.smt.trans_models import tables
table = tables.MosesTable({moses_path!r})
progress.Bar.advance = lambda self, n=1: signal.raise_signal(signal.SIGTERM)
table.save({str(tmp_path / "index")!r})
"""
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == -signal.SIGTERM, result.stderr
    assert (tmp_path / "index").read_bytes() == b"old"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["index", "table.txt"]


def test_a_named_class_opens_a_subclass_index_without_its_attributes(tmp_path, moses_path):
    class Tagged(tables.MosesTable):
        pass

    table = Tagged(moses_path)
    table.tag = "kept by the subclass"
    table.save(tmp_path / "index")
    opened = tables.MosesTable.open(tmp_path / "index")
    assert type(opened) is tables.MosesTable and len(opened) == len(table)
    assert Tagged.open(tmp_path / "index").tag == "kept by the subclass"


@pytest.mark.parametrize("change", ["rewritten", "cut short"])
def test_an_index_rewritten_in_place_is_refused_or_never_seen(tmp_path, moses_path, change):
    table = tables.MosesTable(moses_path, trg_key=True)
    table.save(tmp_path / "index")
    good = (tmp_path / "index").read_bytes()
    mapped = tables.MosesTable.open(tmp_path / "index")
    in_memory = tables.MosesTable.open(tmp_path / "index", mmap=False)
    with open(tmp_path / "index", "r+b") as f:  # in place, as cp does, not by a rename
        if change == "rewritten":
            f.write(good[:-1] + bytes([good[-1] ^ 1]))
            os.utime(f.fileno(), ns=(0, 0))
        else:
            f.truncate(len(good) // 2)
    with pytest.raises(ValueError, match="rewritten in place while it was open"):
        list(mapped.find_src("das Haus"))
    assert answers(in_memory, MOSES, True) == answers(table, MOSES, True)
