#!/bin/sh
# Usage: run_fuzzer.sh SEED_WRITER CORPUS_FOLDER FUZZER REGRESSIONS_FOLDER
# Writes the seed corpus, then fuzzes for a bounded time; any crash fails the run.
set -e
seeds=$1 corpus=$2 fuzzer=$3 regressions=$4
"$seeds" "$corpus"
if [ -d "$regressions" ]; then set -- "$corpus" "$regressions"; else set -- "$corpus"; fi
exec "$fuzzer" -max_total_time=20 -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10 "$@"
