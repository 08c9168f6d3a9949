# make demo  - build, install into .venv and run the main example
# make test  - C++ unit tests (ctest) and Python tests (pytest)
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= 2

.PHONY: demo test install cpp-test py-test system-deps clean

$(VENV)/.ready: requirements-dev.txt
	rm -rf $(VENV)
	"$$(scripts/find-python312)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

install: $(VENV)/.ready
	$(PY) -m pip install -q --no-build-isolation --no-deps .

demo: install
	$(PY) examples/ising_quench.py

system-deps:
	scripts/install-system-deps

cpp-test: system-deps $(VENV)/.ready
	$(CMAKE) -S . -B build/tests -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/tests -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/tests --output-on-failure -j $(JOBS)

py-test: install
	$(PY) -m pytest -q tests

test: cpp-test py-test

clean:
	rm -rf build
