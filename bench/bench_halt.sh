#!/bin/sh
# The halt rule over simulated days of reports (see bench_halt.cpp).
set -eu
"$1/bench/bench_halt"
