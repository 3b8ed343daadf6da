#!/usr/bin/env bash
# Profiles one ranker at 10k words of the license texts: builds an unstripped
# copy of the module (the same -O3 Release build, plus -g) into its own
# virtual environment, then runs bench/profile_calls.py under perf, or under
# callgrind when perf cannot sample here (or with --callgrind).
#
#   bash bench/profile.sh [textrank|tfidf] [--callgrind] [OUTDIR]
#
# Reports land in OUTDIR (default build/profile):
#   perf-<ranker>.txt       stages x (own code, interpreter, numpy), the
#                           interpreter and numpy functions each stage calls,
#                           then perf's own symbol tables;
#   callgrind-<ranker>.txt  instruction counts per function (inclusive) and
#                           per source line of the rankers, calls included.
set -euo pipefail
cd "$(dirname "$0")/.."
ranker=textrank
tool=perf
out=build/profile
for arg in "$@"; do
  case "$arg" in
    textrank|tfidf) ranker="$arg" ;;
    --callgrind) tool=callgrind ;;
    *) out="$arg" ;;
  esac
done
venv="${PROFILE_VENV:-/tmp/venv-bench-prof}"
mkdir -p "$out"

if [ ! -x "$venv/bin/python" ]; then
  python3 -m venv --system-site-packages "$venv"
fi
"$venv/bin/pip" install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir=build/bench-prof -Cinstall.strip=false \
  -Ccmake.define.CMAKE_CXX_FLAGS="-g -fno-omit-frame-pointer" .

# One BLAS thread, as bench/run.py uses by default (on a busy 2-core machine a
# second thread mostly spins); a thread count already set is kept.
if [ -z "${OPENBLAS_NUM_THREADS:-}${OMP_NUM_THREADS:-}${MKL_NUM_THREADS:-}" ]; then
  export OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 MKL_NUM_THREADS=1
fi

if [ "$tool" = perf ] && ! { command -v perf >/dev/null && perf record -q -o /dev/null true 2>/dev/null; }; then
  echo "perf cannot sample here; using callgrind" >&2
  tool=callgrind
fi

if [ "$tool" = perf ]; then
  calls=100
  [ "$ranker" = tfidf ] && calls=3000
  data="$out/perf-$ranker.data"
  report="$out/perf-$ranker.txt"
  perf record -q -F 1000 -g --call-graph dwarf,8192 -o "$data" \
    "$venv/bin/python" bench/profile_calls.py "$ranker" --calls "$calls"
  set +o pipefail  # the reports are cut with head
  {
    echo "# perf, $calls $ranker calls on 10k words of the license texts"
    echo
    perf script -i "$data" -F ip,sym,dso 2>/dev/null | python3 bench/perf_breakdown.py
    echo
    echo "## self time by shared object"
    perf report -i "$data" --no-children --sort dso --stdio -g none 2>/dev/null | grep -v '^#' | grep -v '^$'
    echo
    echo "## self time by symbol (>= 0.5%)"
    perf report -i "$data" --no-children --sort dso,sym --stdio -g none --percent-limit 0.5 2>/dev/null \
      | grep -v '^#' | grep -v '^$'
    echo
    echo "## time including callees, the module's functions"
    perf report -i "$data" --children --sort sym --stdio -g none 2>/dev/null | grep 'keyword::' | head -40
  } > "$report"
  rm -f "$data" "$data.old"
  echo "perf: $report"
else
  calls=2
  [ "$ranker" = tfidf ] && calls=20
  data="$out/callgrind-$ranker.out"
  report="$out/callgrind-$ranker.txt"
  # Collect only inside the ranker: the interpreter's start and the corpus
  # building are left out.
  valgrind --tool=callgrind --callgrind-out-file="$data" --collect-atstart=no \
    "--toggle-collect=keyword::${ranker}_vectorcall*" \
    "$venv/bin/python" bench/profile_calls.py "$ranker" --calls "$calls" 2>"$out/valgrind-$ranker.log"
  set +o pipefail
  {
    callgrind_annotate --inclusive=yes "$data" | head -60
    callgrind_annotate --inclusive=yes --auto=yes --show-percs=yes "$data" 2>/dev/null \
      | awk '/-- Auto-annotated source: .*rankers\//{p=1} /-- Auto-annotated source:/ && !/rankers\//{p=0} p'
  } > "$report"
  echo "callgrind: $report"
fi
