"""The data beside the project (../shared/data: real corpora, gold links and rule tables),
which some tests read. Without it they are skipped, and the run ends with one line saying
how many need it; with ZEL_REQUIRE_SHARED_DATA=1 (a machine that must have it) the run stops
at once instead."""

import os
from pathlib import Path

import pytest

SHARED_DATA = Path(__file__).resolve().parents[1].parent / "shared" / "data"
REASON = f"needs the data in {SHARED_DATA}, which is not present"

needs_shared_data = pytest.mark.skipif(not SHARED_DATA.is_dir(), reason=REASON)
REQUIRED = os.environ.get("ZEL_REQUIRE_SHARED_DATA", "") not in ("", "0")
