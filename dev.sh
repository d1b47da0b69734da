#!/usr/bin/env bash
# Set-up, build and run for libqov on a Debian machine.
#   ./dev.sh run [FILE...]   build and run qovinfo (on the bundled sample without FILE)
#   ./dev.sh test            optimised build + all tests, then all tests under ASan+UBSan,
#                            then the multi-threaded render tests under TSan
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=$(nproc 2>/dev/null || echo 2)

PACKAGES=(g++ clang libclang-rt-14-dev cmake ninja-build pkg-config libbrotli-dev libhwy-dev
          libgtest-dev libbenchmark-dev libpng-dev)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}" >&2
    local sudo=""
    [[ $(id -u) -ne 0 ]] && sudo=sudo
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

configure() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >/dev/null
}

# Runs every fuzz target for a fixed number of inputs from a fixed seed (so a
# run is repeatable) on the seeds; a crash, leak or hang fails the run and
# leaves its input in <build>/fuzz-artifacts/.
run_fuzzers() {  # build dir, runs per target (the whole decoder rendering pixels an eighth, the JPEG rebuild a quarter)
  local dir=$1 base_runs=$2
  mkdir -p "$dir/fuzz-artifacts"
  for fuzzer in "$dir"/fuzz/*_fuzzer; do
    [[ -x $fuzzer ]] || continue
    local name corpus
    name=$(basename "$fuzzer")
    corpus="$dir/fuzz-corpus/$name"
    rm -rf "$corpus" && mkdir -p "$corpus"
    local runs=$base_runs
    [[ $name == decode_fuzzer ]] && runs=$((base_runs / 8))
    [[ $name == jpeg_decode_fuzzer ]] && runs=$((base_runs / 4))
    echo "fuzzing $name for $runs inputs" >&2
    "$fuzzer" -seed=1 -runs="$runs" -max_total_time=600 -timeout=60 -rss_limit_mb=4096 -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$dir/fuzz-artifacts/$name-" \
      "$corpus" "$ROOT/fuzz/regressions/$name" "${QOV_TESTDATA:-$ROOT/../shared/testdata}/files" \
      "$ROOT/tests/data" 2>"$dir/fuzz-artifacts/$name.log" ||
      { tail -50 "$dir/fuzz-artifacts/$name.log" >&2; return 1; }
    grep -E 'stat::number_of_executed_units|cov:' "$dir/fuzz-artifacts/$name.log" | tail -2 >&2
  done
}

cmd=${1:-}
shift || true
case "$cmd" in
  run)
    install_missing
    configure build/release -DCMAKE_BUILD_TYPE=Release
    cmake --build build/release -j "$JOBS"
    if [[ ! -x build/release/qovinfo ]]; then
      echo "Built the library; the qovinfo tool is not part of the tree yet." >&2
      exit 0
    fi
    if (($# == 0)); then set -- "$ROOT/samples/sample.jxl"; fi
    exec build/release/qovinfo "$@"
    ;;
  test)
    install_missing
    configure build/release -DCMAKE_BUILD_TYPE=Release
    cmake --build build/release -j "$JOBS"
    (cd build/release && ctest -j "$JOBS" --output-on-failure)
    configure build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOV_SANITIZE=ON \
      -DQOV_BUILD_BENCH=OFF -DQOV_BUILD_FUZZERS=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
    cmake --build build/sanitize -j "$JOBS"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    run_fuzzers build/sanitize "${QOV_FUZZ_RUNS:-24000}"
    (cd build/sanitize && ctest -j "$JOBS" --output-on-failure)
    # Suites named *Parallel* run work on several threads: check them for races.
    configure build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQOV_TSAN=ON -DQOV_BUILD_BENCH=OFF \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
    cmake --build build/tsan -j "$JOBS" --target qov_render_test qov_modular_test
    for suite in qov_render_test qov_modular_test; do
      TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        "build/tsan/$suite" --gtest_filter='*Parallel*'
    done
    ;;
  *)
    sed -n '2,6p' "$0" >&2
    exit 2
    ;;
esac
