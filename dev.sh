#!/usr/bin/env bash
# Set-up, build and run for libqov on Debian 12 (bookworm).
#   ./dev.sh run [FILE...]   build qovinfo alone and run it (on the bundled sample without FILE)
#   ./dev.sh test            optimised build + all tests; ASan+UBSan build, fixed-seed fuzzing
#                            and the tests; the multi-threaded suites under TSan
# Real sample files are read from $QOV_TESTDATA_DIR (default ../shared/testdata).
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=$(nproc 2>/dev/null || echo 2)
TESTDATA=${QOV_TESTDATA_DIR:-$ROOT/../shared/testdata}

# libclang-rt-dev carries the sanitizer and libFuzzer runtimes of the clang
# that the unversioned `clang` package installs.
PACKAGES=(g++ clang libclang-rt-dev cmake ninja-build pkg-config libbrotli-dev libhwy-dev
          libgtest-dev libbenchmark-dev libpng-dev)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}" >&2
    local sudo=()
    [[ $(id -u) -ne 0 ]] && sudo=(sudo)
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
  fi
}

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DQOV_TESTDATA_DIR="$TESTDATA" "$@" >/dev/null
}

# Each phase's duration goes to the log as it ends and in a summary at exit.
PHASES=()
RUNNING_PHASE=""
phase() {  # name, command...
  local name=$1 start=$SECONDS
  shift
  echo "== $name" >&2
  RUNNING_PHASE=$name
  "$@"
  RUNNING_PHASE=""
  local took=$((SECONDS - start))
  PHASES+=("$(printf '%-32s %3d min %02d s' "$name" $((took / 60)) $((took % 60)))")
  echo "== $name: ${took} s" >&2
}
summary() {
  local status=$? took=$SECONDS
  ((${#PHASES[@]})) || [[ -n $RUNNING_PHASE ]] || return 0
  [[ -z $RUNNING_PHASE ]] || PHASES+=("$(printf '%-32s failed' "$RUNNING_PHASE")")
  echo "== phases" >&2
  printf '   %s\n' "${PHASES[@]}" >&2
  printf '   %-32s %3d min %02d s%s\n' total $((took / 60)) $((took % 60)) \
    "$( ((status == 0)) || echo " (failed)")" >&2
}
trap summary EXIT

build() {  # dir, targets...
  local dir=$1; shift
  cmake --build "$dir" -j "$JOBS" "$@"
}

run_tests() {  # dir, extra ctest args...
  local dir=$1; shift
  (cd "$dir" && ctest -j "$JOBS" --output-on-failure "$@")
}

# One fuzz target for a fixed number of inputs from a fixed seed (so a run is
# repeatable), starting from the seeds; a crash, leak or hang fails it and
# leaves its input in <build>/fuzz-artifacts/.
run_fuzzer() {  # build dir, fuzzer, runs
  local dir=$1 fuzzer=$2 runs=$3 name
  name=$(basename "$fuzzer")
  local corpus="$dir/fuzz-corpus/$name" log="$dir/fuzz-artifacts/$name.log"
  rm -rf "$corpus" && mkdir -p "$corpus"
  local start=$SECONDS
  if ! "$fuzzer" -seed=1 -runs="$runs" -max_total_time=600 -timeout=60 -rss_limit_mb=4096 \
      -max_len=65536 -print_final_stats=1 -artifact_prefix="$dir/fuzz-artifacts/$name-" \
      "$corpus" "$ROOT/fuzz/regressions/$name" "$TESTDATA/files" "$ROOT/tests/data" \
      2>"$log"; then
    echo "fuzzing $name failed:" >&2
    tail -50 "$log" >&2
    return 1
  fi
  echo "fuzzed $name: $runs inputs in $((SECONDS - start)) s," \
    "$(grep -oE 'cov: [0-9]+' "$log" | tail -1)" >&2
}

# Every fuzz target, JOBS at a time (each is one process on one core). The
# whole decoder rendering pixels gets an eighth of the inputs, the JPEG
# rebuild a quarter: their inputs cost the most.
run_fuzzers() {  # build dir, runs per target
  local dir=$1 base_runs=$2 failed=0 running=0 fuzzer name runs
  mkdir -p "$dir/fuzz-artifacts"
  # The slowest first, so that the others fill in beside them.
  local fuzzers=("$dir/fuzz/decode_fuzzer" "$dir/fuzz/jpeg_decode_fuzzer")
  for fuzzer in "$dir"/fuzz/*_fuzzer; do
    [[ " ${fuzzers[*]} " == *" $fuzzer "* ]] || fuzzers+=("$fuzzer")
  done
  for fuzzer in "${fuzzers[@]}"; do
    name=$(basename "$fuzzer")
    runs=$base_runs
    [[ $name == decode_fuzzer ]] && runs=$((base_runs / 8))
    [[ $name == jpeg_decode_fuzzer ]] && runs=$((base_runs / 4))
    if ((running >= JOBS)); then
      wait -n || failed=1
      running=$((running - 1))
    fi
    run_fuzzer "$dir" "$fuzzer" "$runs" &
    running=$((running + 1))
  done
  while ((running > 0)); do
    wait -n || failed=1
    running=$((running - 1))
  done
  return "$failed"
}

# Suites named *Parallel* run work on several threads: check them for races.
run_tsan() {  # build dir
  local suite
  for suite in qov_render_test qov_modular_test; do
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      "$1/$suite" --gtest_filter='*Parallel*'
  done
}

cmd=${1:-}
shift || true
case "$cmd" in
  run)
    install_missing
    configure build/release -DCMAKE_BUILD_TYPE=Release
    build build/release --target qovinfo
    if (($# == 0)); then set -- "$ROOT/samples/sample.jxl"; fi
    exec build/release/qovinfo "$@"
    ;;
  test)
    if [[ ! -d $TESTDATA/files ]]; then
      echo "No sample files in $TESTDATA: the tests read them (set QOV_TESTDATA_DIR)." >&2
      exit 1
    fi
    phase "install missing packages" install_missing
    configure build/release -DCMAKE_BUILD_TYPE=Release
    phase "optimised build" build build/release
    phase "optimised tests" run_tests build/release
    # The sanitizer builds: line tables are all a report needs, and compile
    # far faster than full debug information. -O1 is no help: with
    # UndefinedBehaviorSanitizer clang takes several times longer there than
    # at -O2 on the SIMD kernels (over half an hour on the DCT alone).
    configure build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOV_SANITIZE=ON \
      -DQOV_BUILD_BENCH=OFF -DQOV_BUILD_FUZZERS=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG" \
      "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG"
    phase "sanitizer build" build build/sanitize
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    phase "fixed-seed fuzzing" run_fuzzers build/sanitize "${QOV_FUZZ_RUNS:-24000}"
    # Every test but the suites that compare each sample file's report and
    # headers with its facts: the optimised build checks those answers, and
    # the fuzz targets' replay tests run the same decoder calls on every
    # sample file under the sanitizers.
    phase "sanitizer tests" run_tests build/sanitize -E \
      '^(Corpus/FactsTest|RealFiles/HeaderTestdataTest|Files/CorpusTest\.(MatchesFacts|CoalescedFramesMatchFacts))[./]'
    configure build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOV_TSAN=ON -DQOV_BUILD_BENCH=OFF \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
      "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG" \
      "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -gline-tables-only -DNDEBUG"
    phase "thread sanitizer build" build build/tsan --target qov_render_test qov_modular_test
    phase "thread sanitizer tests" run_tsan build/tsan
    ;;
  *)
    sed -n '2,6p' "$0" >&2
    exit 2
    ;;
esac
