#!/bin/sh
# Usage: run_fuzzer.sh SEED_WRITER CORPUS_NAME CORPUS_FOLDER FUZZER REGRESSIONS_FOLDER
# Writes the named seed corpus, then fuzzes for a bounded time from a fixed seed (a failure can be
# replayed); any crash fails the run.
set -e
seeds=$1 name=$2 corpus=$3 fuzzer=$4 regressions=$5
"$seeds" "$name" "$corpus"
if [ -d "$regressions" ]; then set -- "$corpus" "$regressions"; else set -- "$corpus"; fi
exec "$fuzzer" -seed=1 -max_total_time=20 -rss_limit_mb=2048 -malloc_limit_mb=512 -timeout=10 "$@"
