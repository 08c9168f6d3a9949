# make demo  - the demo's packages only (requirements-demo.txt), build, install into .venv
#              and run the main example
# make test  - the rest of the development packages (requirements-dev.txt), the C++ tests
#              built with the sanitizers (make cpp-test: in a Release build), the fuzz session
#              on the sanitized modules (make fuzz for a longer one), memcheck, then the Python
#              tests (pytest) once, against the manylinux wheel in a fresh environment (make
#              py-test runs them against .venv),
#              then the documentation site (make docs) and its layout in a browser
#              (make docs-check)
# make docs  - the documentation site into build/docs/html: warnings are errors, every code
#              example runs as a doctest, internal links are checked (examples at reduced
#              sizes; VELMORA_EXAMPLE_SIZE=full runs them at their defaults); after make demo
#              alone it first installs the site's packages (requirements-docs.txt)
# make docs-check - make docs, then the site as a browser lays it out (headless Chromium,
#              installed from Debian's packages when missing): nothing wider than its box
#              at 1280 px, no code block or page wider than a 600 px window, no request
#              leaving the machine
#              (part of make test); make docs-screenshots takes screenshots of a few pages
# make bench - products against SciPy's CSR (bench-products alone), benchmark against SciPy,
#              QuSpin and dense expm (bench-quick stops at n = 20),
#              then the error-controlled evolution (bench-trajectory alone), short steps
#              (bench-short-steps alone), the evolution over MPI processes (bench-mpi alone),
#              symmetry sectors (bench-sectors alone), sector ground states
#              (bench-sector-ground alone), time-dependent H(t)
#              (bench-time-dependent alone), a driven ring in its sector
#              (bench-sector-drive alone), eigenpairs (bench-eigen alone) and batched
#              products (bench-batch alone)
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= 2

.PHONY: demo docs docs-check docs-screenshots pictures test wheel-test install cpp-test cpp-test-sanitize sanitize-build fuzz fuzz-quick py-test memcheck system-deps clean bench bench-quick bench-deps bench-products bench-trajectory bench-short-steps bench-mpi bench-sectors bench-time-dependent bench-eigen bench-batch bench-sector-ground bench-sector-drive

# Three stamps: .demo-ready once the packages of requirements-demo.txt (the build and the
# examples) are in, .docs-ready once the site's (requirements-docs.txt) are too, .ready
# once those of requirements-dev.txt (which includes both lists) are, so that `make docs`
# or `make test` after `make demo` installs only what is missing. A .venv that runs
# CPython 3.12 is kept and completed by pip; any other is made afresh.
$(VENV)/.demo-ready: requirements-demo.txt
	$(PY) -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null || { \
		rm -rf $(VENV) && "$$(scripts/find-python312)" -m venv $(VENV) && \
		$(PY) -m pip install -q --upgrade pip; }
	$(PY) -m pip install -q -r requirements-demo.txt
	touch $@

$(VENV)/.docs-ready: $(VENV)/.demo-ready requirements-docs.txt
	@echo "installing the site's packages (requirements-docs.txt: Sphinx, and the libraries the" \
		"pages' examples run against: QuTiP, QuSpin, Qiskit, OpenFermion, MPICH; about a minute)"
	$(PY) -m pip install -q -r requirements-docs.txt
	touch $@

$(VENV)/.ready: $(VENV)/.docs-ready requirements-dev.txt
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

install: $(VENV)/.demo-ready
	$(PY) -m pip install -q --no-build-isolation --no-deps .

demo: install
	$(PY) examples/ising_quench.py --out build/examples

# The README's pictures, regenerated into examples/output (mpi_chain on one process:
# mpi4py comes with the site's packages).
pictures: install $(VENV)/.docs-ready
	for example in ising_quench xxz_ground_state molecular_hamiltonian accuracy_envelope sector_ring driven_ising \
			heisenberg_autocorrelation mpi_chain; do \
		$(PY) examples/$$example.py --out examples/output || exit 1; done

system-deps:
	scripts/install-system-deps

cpp-test: system-deps $(VENV)/.ready
	$(CMAKE) -S . -B build/tests -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVELMORA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/tests -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/tests --output-on-failure -j $(JOBS)

# One sanitized build (AddressSanitizer and UndefinedBehaviorSanitizer) of the C++ tests
# and of both extension modules, which share its core library.
sanitize-build: system-deps $(VENV)/.ready
	$(CMAKE) -S . -B build/sanitize -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVELMORA_BUILD_TESTS=ON -DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DVELMORA_BUILD_MODULE=ON -DPython_EXECUTABLE=$(abspath $(PY))
	$(CMAKE) --build build/sanitize -j $(JOBS)

cpp-test-sanitize: sanitize-build
	$(VENV)/bin/ctest --test-dir build/sanitize --output-on-failure -j $(JOBS)

# The fuzz session: property-based tests of every public entry point that reaches the
# compiled modules, run on the sanitized modules (any sanitizer report, crash or hang
# fails). fuzz-quick replays a fixed set of examples (part of make test); fuzz explores
# (FUZZ_EXAMPLES examples per entry point, new random ones each run; the seed of a
# failure is printed, to be kept as a regression row).
FUZZ_EXAMPLES ?= 2000
# --capture=sys: a sanitizer's report goes straight to the terminal (fd 2), not into
# pytest's capture of a process that the report ends.
FUZZ_PYTEST := -m pytest -q -p no:cacheprovider --capture=sys $(abspath tests/fuzz_native.py)
fuzz-quick: sanitize-build
	scripts/sanitized-python $(FUZZ_PYTEST)

fuzz: sanitize-build
	HYPOTHESIS_PROFILE=explore FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) scripts/sanitized-python $(FUZZ_PYTEST)

py-test: install $(VENV)/.ready
	$(VENV)/bin/pytest -q tests

wheel-test: $(VENV)/.ready
	rm -rf build/wheelhouse build/wheel-venv
	$(PY) -m pip wheel -q --no-deps -w build/wheelhouse/linux .
	# A manylinux wheel: the OpenMP runtime is vendored, the C++ runtime checked.
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w build/wheelhouse \
		build/wheelhouse/linux/velmora-*.whl
	"$$(scripts/find-python312)" -m venv build/wheel-venv
	build/wheel-venv/bin/python -m pip install -q build/wheelhouse/velmora-*manylinux*.whl -r requirements-dev.txt
	cd build && wheel-venv/bin/python -m pytest -q -p no:cacheprovider ../tests

memcheck: install
	scripts/memcheck

# The site is built afresh (-E) so that every warning shows; the doctest builder reuses
# its parsed pages, and the gallery does not rerun examples whose source is unchanged.
docs: install $(VENV)/.docs-ready
	rm -rf build/docs/html build/docs/doctest build/docs/doctrees
	$(VENV)/bin/sphinx-build -E -W --keep-going -q -d build/docs/doctrees -b html docs build/docs/html
	$(VENV)/bin/sphinx-build -W --keep-going -q -d build/docs/doctrees -b doctest docs build/docs/doctest
	$(PY) docs/check_links.py build/docs/html
	$(PY) docs/check_docstrings.py

# The built site in headless Chromium (docs/check_layout.py; Chromium and the Liberation
# fonts from Debian's packages, installed when missing): every page at 1280 and 600 px.
docs-check: docs
	scripts/install-system-deps screenshots
	$(PY) docs/check_layout.py build/docs/html

# Screenshots of a few pages at 1280 and 600 px, as a reader first sees them
# (build/docs/screenshots; the site must have been built).
docs-screenshots:
	scripts/docs-screenshots

# Each suite runs once: the C++ tests in the sanitized build (make cpp-test runs them in a
# Release build as well), the Python tests in wheel-test, against the artifact users install.
test: cpp-test-sanitize fuzz-quick memcheck wheel-test docs docs-check

$(VENV)/.bench-ready: $(VENV)/.ready requirements-bench.txt
	$(PY) -m pip install -q -r requirements-bench.txt
	touch $@

# The kernel benchmark reads its workloads from the files bench/workloads.py writes.
bench-deps: install $(VENV)/.bench-ready
	scripts/install-system-deps bench
	$(CMAKE) -S . -B build/bench -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DVELMORA_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build/bench -j $(JOBS)
	$(PY) bench/workloads.py --write build/bench/workloads

bench: install bench-deps
	$(PY) bench/products.py
	$(PY) bench/run.py
	$(PY) bench/trajectory.py
	$(PY) bench/short_steps.py
	$(PY) bench/threads_under_load.py
	$(PY) bench/mpi.py
	$(PY) bench/sectors.py
	$(PY) bench/sector_ground.py
	$(PY) bench/time_dependent.py
	$(PY) bench/sector_drive.py
	$(PY) bench/eigen.py
	$(PY) bench/batch.py

# One thread: PauliSum.apply against SciPy's CSR product (Ising chain, XXZ ring, chemistry-
# shaped sums from OpenFermion), evolve against expm_multiply, and the machine's stream
# bandwidth (a few minutes).
bench-products: install $(VENV)/.bench-ready
	$(PY) bench/products.py

bench-sectors: install $(VENV)/.bench-ready
	$(PY) bench/sectors.py

# Sector ground states against QuSpin (the 24-site ring's and the 4x6 J1-J2 torus's
# symmetric sectors, and the 20-site ring's), end to end on one thread, and the sector
# product with kept images against SciPy's CSR product.
bench-sector-ground: install $(VENV)/.bench-ready
	$(PY) bench/sector_ground.py

# Time-dependent H(t) against QuSpin, QuTiP, SciPy's DOP853 and piecewise-constant steps
# at n = 16 (about 14 minutes; n = 20 is added by hand, see bench/time_dependent.py).
bench-time-dependent: install $(VENV)/.bench-ready
	$(PY) bench/time_dependent.py

# Eigenpairs against ARPACK (SciPy), LOBPCG and QuSpin at 20 qubits and LiH (over an hour:
# the random 4-local sum alone takes about 40 minutes; see bench/eigen.py for running parts).
bench-sector-drive: install $(VENV)/.bench-ready
	$(PY) bench/sector_drive.py

bench-eigen: install $(VENV)/.bench-ready
	$(PY) bench/eigen.py

# Batched products at 20 qubits on one thread: velmora's apply on k states at
# once and QuSpin's dot on k columns, each against its single calls (a few minutes).
bench-batch: install $(VENV)/.bench-ready
	$(PY) bench/batch.py

# Strong scaling over MPI processes on this machine (n = 22 and 24).
bench-mpi: install
	$(PY) bench/mpi.py

bench-trajectory: install bench-deps
	$(PY) bench/trajectory.py

bench-short-steps: install $(VENV)/.bench-ready
	$(PY) bench/short_steps.py

bench-quick: install bench-deps
	$(PY) bench/run.py --quick --repeats 2

clean:
	rm -rf build
