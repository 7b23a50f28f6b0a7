# The two commands of this project: `make demo` and `make test`; `make bench`
# measures (it is not part of `make test`).
# Each installs what it needs from Debian's packages on a fresh machine.
SHELL := /bin/bash
.DEFAULT_GOAL := demo
.PHONY: demo test deps bench

DEMO_OUT := build/linux/demo/tessel-demo

deps:
	@scripts/install-deps

demo: deps
	@scripts/demo

test: deps
	@scripts/test-all

bench: deps
	@bench/run-all
