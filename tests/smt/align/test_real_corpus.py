from pathlib import Path

import pytest
from aer import aer, read_decoded, read_gold

from zel.smt.align import emalign

DATA = Path(__file__).resolve().parents[3].parent / "shared" / "data" / "wpt03_en-fr"

pytestmark = pytest.mark.skipif(not DATA.is_dir(), reason="shared test data is not present")


def test_hansards_alignment_error_rate_is_about_model2s(tmp_path):
    with open(DATA / "hansards_10k.fr-en", encoding="utf-8") as f:
        pairs = [line.rstrip("\n").split(" ||| ") for line in f]
    src, trg = tmp_path / "c.en", tmp_path / "c.fr"
    src.write_text("".join(en + "\n" for _, en in pairs), encoding="utf-8")
    trg.write_text("".join(fr + "\n" for fr, _ in pairs), encoding="utf-8")
    decoded = tmp_path / "decoded.txt"
    assert emalign.train_emalign(
        {
            "src_path": str(src),
            "trg_path": str(trg),
            "iteration_limit": 5,
            "threshold": 0.001,
            "nbest": 100,
            "save_trans_path": str(tmp_path / "t.txt"),
            "save_align_path": None,
            "save_scores": None,
            "decode_align": str(decoded),
        }
    )
    sure, possible = read_gold(DATA / "test.wa.nonullalign")
    error, precision, recall, _ = aer(read_decoded(decoded, first=447), sure, possible)
    # IBM Model 2 after Model 1, five iterations each: the classic aligner reaches 0.290 here.
    assert error < 0.33
    assert precision > 0.6 and recall > 0.75
