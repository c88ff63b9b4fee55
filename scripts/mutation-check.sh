#!/bin/bash
# Mutation check: applies each mutation of scripts/mutations.txt to a scratch
# copy of the tree, builds it and runs the whole suite, then prints which
# mutations the suite kills. One build at a time (the machine is shared).
#   bash scripts/mutation-check.sh [--only M01,M02] [--check] [--scratch DIR] [--out FILE] [--exclude REGEX]
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 scripts/mutation_check.py "$@"
