# The two set-up commands of the README are `make run` and `make test`.
SHELL := /bin/bash
.DEFAULT_GOAL := help

JOBS ?= $(shell nproc)
PYTEST := /usr/bin/python3 -m pytest

.PHONY: help run test build build-asan build-mingw unit unit-asan e2e tray clean

help:
	@echo "make run    install what is missing, build, run the gateway in ./run"
	@echo "make test   install what is missing, build, run every test"
	@echo "make tray   build and start the tray supervisor in ./run"

build:
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

build-asan:
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

build-mingw:
	@cmake --preset mingw >/dev/null
	@cmake --build --preset mingw -j $(JOBS)

run:
	@scripts/install-deps run
	@$(MAKE) --no-print-directory build
	@mkdir -p run
	@echo "Quorvel: TCP 52554 on every local address; announces on UDP 12390 to the local networks."
	@echo "Working directory: $(CURDIR)/run (files of the file service land here). Ctrl-C ends it."
	@cd run && exec ../build/default/app/Quorvel

tray:
	@scripts/install-deps run
	@$(MAKE) --no-print-directory build
	@mkdir -p run && cp -f build/default/app/Quorvel run/Quorvel
	@cd run && exec ../build/default/tray/Tindrel

unit: build
	@ctest --preset default -j $(JOBS)

unit-asan: build-asan
	@ctest --preset asan -j $(JOBS)

# The wire suite against the plain, the sanitized and the Windows gateway (under Wine),
# the tray supervisor's suite (GTK front, and Tindrel.exe under Wine), then the packages.
# Separate runs: each folder has its own pytest settings.
e2e: build build-asan build-mingw
	@ZV_GATEWAY=default,asan,wine $(PYTEST) -q tests/e2e
	@$(PYTEST) -q tests/tray
	@$(PYTEST) -q tests/package

test:
	@scripts/install-deps test
	@$(MAKE) --no-print-directory unit
	@$(MAKE) --no-print-directory unit-asan
	@$(MAKE) --no-print-directory build-mingw
	@$(MAKE) --no-print-directory fuzz-smoke
	@$(MAKE) --no-print-directory soak-smoke
	@$(MAKE) --no-print-directory package
	@$(MAKE) --no-print-directory e2e

clean:
	rm -rf build

# Packages, into dist/: the Debian package (native build) and, from the Windows cross
# build, a per-user NSIS installer and a plain zip. Only the programs are built.
.PHONY: package
package:
	@scripts/install-deps package
	@rm -f dist/zelvanor_*.deb* dist/Zelvanor-*-setup.exe dist/Zelvanor-*-win64.zip*
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS) --target zv_programs
	@cd build/default && cpack -G DEB
	@cmake --preset mingw >/dev/null
	@cmake --build --preset mingw -j $(JOBS) --target zv_windows_installer
	@cd build/mingw && cpack -G ZIP

# Fuzzing (clang's libFuzzer with the address and undefined sanitizers), in its own build
# directory. `make fuzz` runs every target FUZZ_SECONDS each; `make fuzz-smoke` about 20 s
# each and fails on any crash. Both need root: each target runs in namespaces of its own.
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 20
FUZZ_TARGETS := fuzz_client_stream fuzz_datagram fuzz_splitters fuzz_registration

.PHONY: fuzz-build fuzz fuzz-smoke
fuzz-build:
	@cmake -S . -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZV_SANITIZE=ON -DZV_BUILD_FUZZ=ON \
	  -DZV_BUILD_TESTS=OFF -DZV_BUILD_TRAY=OFF >/dev/null
	@cmake --build build/fuzz -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz: fuzz-build
	@fuzz/run.sh $(FUZZ_SECONDS) $(FUZZ_TARGETS)

fuzz-smoke: fuzz-build
	@fuzz/run.sh $(FUZZ_SMOKE_SECONDS) $(FUZZ_TARGETS)

# Soak: one gateway (build/default) under 61 churning clients and malformed input, in a
# private namespace; fails on a lost relay, growth of memory or descriptors, or no answer.
# `make soak` runs SOAK_SECONDS (30 minutes by default), `make soak-smoke` 30 s.
SOAK_SECONDS ?= 1800

.PHONY: soak soak-smoke
soak: build
	@scripts/soak $(SOAK_SECONDS)

soak-smoke: build
	@scripts/soak 30

# Benchmarks, in a private network namespace on loopback: the relay against a direct TCP
# echo and socat, a 10 MiB download against tftp-hpa, peak memory with 61 peers relaying,
# and micro-benchmarks of the hot paths. Writes docs/BENCHMARKS.md. Needs root.
.PHONY: bench
bench:
	@scripts/install-deps bench
	@cmake --preset default -DZV_BUILD_BENCH=ON >/dev/null
	@cmake --build --preset default -j $(JOBS) --target Quorvel quorvel-client bench_echo bench_load bench_bare bench_micro
	@/usr/bin/python3 bench/run_bench.py --build build/default --out docs/BENCHMARKS.md
