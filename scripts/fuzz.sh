#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang++ (AddressSanitizer,
# UndefinedBehaviorSanitizer, LeakSanitizer) into build-fuzz/ and runs each for a bounded time,
# starting from its seed corpus in tests/fuzz/corpus/. Fails on any crash, hang (an input that
# takes over 10 s), leak, sanitizer report or broken property; the input that did it is kept
# in build-fuzz/findings/ (add it to the corpus as a regression case once fixed).
# Usage: scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 45)
#        scripts/fuzz.sh --prepare              (installs what it needs, no more)
#        scripts/fuzz.sh --build                (that, and the build, no fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-45}"
targets=(request options registry netascii path transfer_log rewrite)

packages=(clang cmake make python3)
scripts/install-packages.sh "${packages[@]}"
[[ "$seconds" == --prepare ]] && exit 0

dir=build-fuzz
CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORIL_FUZZ=ON \
  -DQUORIL_BUILD_TESTS=OFF -DQUORIL_WARNINGS_AS_ERRORS="${QUORIL_WARNINGS_AS_ERRORS:-OFF}" \
  -DCMAKE_UNITY_BUILD="${QUORIL_UNITY_BUILD:-OFF}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/#/fuzz_}"
[[ "$seconds" == --build ]] && exit 0

findings="$PWD/$dir/findings"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$findings"
# The targets' scratch files on a memory file system where there is one: the path and
# netascii targets write a file per input.
if [[ -d /dev/shm && -w /dev/shm ]]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# As root the path target runs as nobody: should confinement ever fail, its writes reach
# nothing of the machine's.
as_nobody=()
if [[ $(id -u) -eq 0 ]]; then as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups); fi

# One target per core at a time: each gets its whole time on a core of its own.
fuzz_one() {
  local target=$1 corpus="$work/$1" run=() extra=()
  mkdir -p "$corpus"
  cp tests/fuzz/corpus/"$target"/* "$corpus"/
  if [[ $target == path && ${#as_nobody[@]} -gt 0 ]]; then
    run=("${as_nobody[@]}")
    chmod 755 "$work"
    chown -R 65534:65534 "$corpus" "$findings"
  fi
  # Long enough for the netascii reader to read ahead more than once.
  [[ $target == netascii ]] && extra=(-max_len=40000)
  "${run[@]}" "$dir/tests/fuzz/fuzz_$target" "$corpus" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/$target-" \
    "${extra[@]}" >"$work/$target.log" 2>&1
}

jobs_at_once=$(nproc)
declare -A pids=()
for target in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= jobs_at_once)); do wait -n || true; done
  echo "=== fuzz_$target for ${seconds} s"
  fuzz_one "$target" &
  pids[$target]=$!
done
failed=()
for target in "${targets[@]}"; do
  if ! wait "${pids[$target]}"; then
    echo "=== fuzz_$target failed"
    tail -n 60 "$work/$target.log"
    failed+=("$target")
  else
    echo "=== fuzz_$target"
    grep -E "^(Done|stat::number_of_executed_units)" "$work/$target.log" || true
  fi
done
if ((${#failed[@]})); then
  echo "fuzz: findings in ${failed[*]} (inputs in $findings)"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, ${seconds} s each, nothing found"
