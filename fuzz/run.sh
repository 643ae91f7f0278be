#!/usr/bin/env bash
# Runs one fuzz target for a while:  fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#
# TARGET is read_coef, read_rhs, program or api.  The targets are built with
# clang in $ZELKOR_FUZZ_BUILD (default build/fuzz) when missing.  The corpus
# grows outside the tree, in $ZELKOR_FUZZ_CORPUS/TARGET (default
# /tmp/zk_fuzz_corpus), starting from the seeds of fuzz/corpus/TARGET and the
# regression inputs of fuzz/regressions/TARGET, which are only read; a
# failing input is saved as $ZELKOR_FUZZ_CORPUS/artifacts/TARGET/crash-...
# (copy it into fuzz/regressions/TARGET/ once the fault is fixed).  Further
# arguments go to libFuzzer, e.g. -jobs=2 -workers=2 for two processes.
set -euo pipefail
if [ $# -lt 2 ]; then
  echo "usage: fuzz/run.sh read_coef|read_rhs|program|api SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1
seconds=$2
shift 2
case $target in
  read_coef|read_rhs|program|api) ;;
  *) echo "unknown target: $target" >&2; exit 2 ;;
esac
root=$(cd "$(dirname "$0")/.." && pwd)
build=${ZELKOR_FUZZ_BUILD:-$root/build/fuzz}
corpus_root=${ZELKOR_FUZZ_CORPUS:-/tmp/zk_fuzz_corpus}
bin=$build/fuzz/fuzz_$target

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DZELKOR_FUZZ=ON -DZELKOR_TESTS=OFF -DZELKOR_BENCH=OFF >/dev/null
fi
cmake --build "$build" -j2 --target "fuzz_$target" >/dev/null

corpus=$corpus_root/$target
artifacts=$corpus_root/artifacts/$target
mkdir -p "$corpus" "$artifacts"
dirs=("$corpus" "$root/fuzz/corpus/$target")
[ -d "$root/fuzz/regressions/$target" ] && dirs+=("$root/fuzz/regressions/$target")
opts=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
      -artifact_prefix="$artifacts/")
# The text formats get the dictionary; the interface target reads bytes.
[ "$target" != api ] && opts+=(-dict="$root/fuzz/zelkor.dict")
exec "$bin" "${opts[@]}" "$@" "${dirs[@]}"
