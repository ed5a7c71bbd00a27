# Sourced by the scripts: where each preset's tools come from, and a way to
# install the missing ones from Debian's packages.

# Debian's own Python 3, which sees Debian's matplotlib whatever else is on PATH.
python=/usr/bin/python3
tools_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/../tools" && pwd)

# tool PACKAGE.MODULE ARGUMENT...: one of the host-side tools, tools/PACKAGE/MODULE.py.
tool() {
  PYTHONPATH="$tools_dir${PYTHONPATH:+:$PYTHONPATH}" "$python" -m "$@"
}

# This machine's Debian architecture; FIR_HOST_ARCH stands in for it in the
# tests, which choose as an arm64 or armhf host would.
host_arch=${FIR_HOST_ARCH:-$(dpkg --print-architecture)}
# The Arm target this machine is, whose builds are the host preset's (on a
# board, scripts/run armv7 or aarch64 builds natively), and the name of its
# architecture in clang's runtime libraries.
case $host_arch in
  armhf) native=armv7 clang_arch=armhf ;;
  arm64) native=aarch64 clang_arch=aarch64 ;;
  *) native='' clang_arch=x86_64 ;;
esac
# The Arm targets it is not, cross-built and run under their emulator, where
# Debian has a cross compiler for this machine (none for aarch64 on armhf).
cross=()
for target in armv7 aarch64; do
  [ "$target" = "$native" ] && continue
  [ "$target" = aarch64 ] && [ "$host_arch" = armhf ] && continue
  cross+=("$target")
done
# The presets a user names on the command line: this machine, then the cross
# targets.
targets=(host "${cross[@]}")
# The presets whose ctest scripts/test runs.
tested=(host asan host-clang "${cross[@]}")

# usage SCRIPT [OPTIONS]: prints the usage of a script that takes a target,
# and exits 2.
usage() {
  echo "usage: scripts/$* [$(IFS='|' && echo "${targets[*]}")]" >&2
  exit 2
}

# preset_for TARGET: the preset that builds TARGET here (host for this
# machine's own), or nothing, with the reason on standard error.
preset_for() {
  if [ "$1" = "$native" ]; then
    echo host
  elif [[ " ${targets[*]} " == *" $1 "* ]]; then
    echo "$1"
  elif [ "$1" = aarch64 ]; then
    echo "aarch64 cannot be built here: Debian has no AArch64 cross compiler for $host_arch" >&2
  fi
}

# choose_target SCRIPT [TARGET]: sets `preset` to TARGET's preset (default
# host), or prints SCRIPT's usage and exits 2.
choose_target() {
  preset=$(preset_for "${2:-host}")
  [ -n "$preset" ] || usage "$1"
}

# packages_for GROUP: the Debian packages a preset, or one of the scripts'
# own groups (bench, board, compare, lint, page, results, vm), needs, as PACKAGE=FILE-IT-INSTALLS. The Arm
# targets' Google Benchmark comes from Debian's multiarch packages.
packages_for() {
  local json=nlohmann-json3-dev=/usr/include/nlohmann/json.hpp
  # Debian's full Python 3: its interpreter comes from python3-minimal, which python3 brings.
  local python3=python3=/usr/bin/pydoc3
  # Google Benchmark's compare.py and the SciPy its U test needs: scripts/compare, and its test.
  local compare="libbenchmark-tools=/usr/share/benchmark/compare.py python3-scipy=/usr/lib/python3/dist-packages/scipy/__init__.py"
  local matplotlib=python3-matplotlib=/usr/lib/python3/dist-packages/matplotlib/__init__.py
  case $1 in
    host | asan | host-release | host-noprof)
      echo g++=/usr/bin/g++ cmake=/usr/bin/cmake ninja-build=/usr/bin/ninja googletest=/usr/src/googletest/CMakeLists.txt \
        binutils=/usr/bin/gprof libbenchmark-dev=/usr/include/benchmark/benchmark.h $python3 valgrind=/usr/bin/valgrind \
        $matplotlib $json $compare ;;
    armv7) echo g++-arm-linux-gnueabihf=/usr/bin/arm-linux-gnueabihf-g++ qemu-user=/usr/bin/qemu-arm $python3 \
      libbenchmark-dev:armhf=/usr/lib/arm-linux-gnueabihf/libbenchmark.so $json ;;
    aarch64) echo g++-aarch64-linux-gnu=/usr/bin/aarch64-linux-gnu-g++ qemu-user=/usr/bin/qemu-aarch64 $python3 \
      libbenchmark-dev:arm64=/usr/lib/aarch64-linux-gnu/libbenchmark.so $json ;;
    host-clang)
      packages_for host
      echo clang=/usr/bin/clang++ \
        libclang-rt-14-dev=/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-$clang_arch.a \
        libfuzzer-14-dev=/usr/lib/llvm-14/lib/libFuzzer.a ;;
    compare) echo $python3 $compare ;;
    results) echo $python3 $matplotlib ;;
    # The results page's test: a real headless browser.
    page) echo chromium=/usr/bin/chromium chromium-driver=/usr/bin/chromedriver \
      python3-selenium=/usr/lib/python3/dist-packages/selenium/__init__.py ;;
    board) echo $python3 openssh-client=/usr/bin/ssh ;;
    lint) echo clang-tidy=/usr/bin/clang-tidy cppcheck=/usr/bin/cppcheck ;;
    vm) echo qemu-system-arm=/usr/bin/qemu-system-arm device-tree-compiler=/usr/bin/fdtput cpio=/usr/bin/cpio ;;
    bench) echo time=/usr/bin/time hyperfine=/usr/bin/hyperfine ;;
  esac
}

# package_groups: every group that packages_for names here: the tested
# presets, and the scripts' own.
package_groups() {
  echo "${tested[@]}" host-release host-noprof bench board compare lint page results vm
}

# missing_packages PACKAGE=FILE...: the packages whose file is absent.
missing_packages() {
  local pair
  for pair; do [ -e "${pair#*=}" ] || echo "${pair%%=*}"; done | sort -u
}

# install_packages PACKAGE...: installs them with apt-get, adding the foreign
# architectures that PACKAGE:ARCH names; fails unless root. A Debian mirror
# can be mid-sync, failing one index of `apt-get update`: that is a warning,
# and the install goes ahead from the lists apt already has. What cannot be
# installed is named with apt's own error lines, and fails the call, after
# each package that can be installed has been.
install_packages() {
  [ $# -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || return 1
  echo "installing $* ..." >&2
  local package log failed=()
  for package; do
    if [[ $package == *:* ]]; then dpkg --add-architecture "${package#*:}"; fi
  done
  log=$(mktemp)
  if ! apt_waiting "$log" apt-get update -qq; then
    echo "warning: apt-get update failed; installing from the package lists apt already has:" >&2
    apt_errors "$log"
  fi
  : >"$log"
  if ! apt_install "$log" "$@"; then
    # One package apt cannot find would keep out all the others: one at a time.
    : >"$log"
    for package; do apt_install "$log" "$package" || failed+=("$package"); done
  fi
  if [ ${#failed[@]} -gt 0 ]; then
    echo "apt-get could not install: ${failed[*]}" >&2
    apt_errors "$log"
  fi
  rm -f "$log"
  [ ${#failed[@]} -eq 0 ]
}

# apt_install LOG PACKAGE...: apt-get install, its output added to LOG.
apt_install() {
  local log=$1
  shift
  DEBIAN_FRONTEND=noninteractive apt_waiting "$log" apt-get install -y -qq "$@"
}

# How long apt_waiting waits for another package manager, and how often it asks.
apt_lock_wait=900 apt_lock_pause=2

# apt_waiting LOG COMMAND...: an apt-get command, its output added to LOG,
# tried again while another package manager (an install elsewhere,
# unattended-upgrades on a board) holds dpkg's or apt's lock, for up to
# apt_lock_wait seconds, saying once that it waits and for whom. apt-get's
# own DPkg::Lock::Timeout does not cover `apt-get update`'s lock.
apt_waiting() {
  local log=$1 attempt status said=''
  shift
  attempt=$(mktemp)
  local until=$((SECONDS + apt_lock_wait))
  while :; do
    "$@" >"$attempt" 2>&1 && status=0 || status=$?
    cat "$attempt" >>"$log"
    [ "$status" -ne 0 ] && [ "$SECONDS" -lt "$until" ] && grep -q '^E: Could not get lock' "$attempt" || break
    [ -n "$said" ] || echo "waiting up to $((apt_lock_wait / 60)) minutes for another package manager: $(grep -m1 \
      '^E: Could not get lock' "$attempt" | sed 's/^E: //')" >&2
    said=1
    sleep "$apt_lock_pause"
  done
  rm -f "$attempt"
  return "$status"
}

# apt_errors LOG: apt's own error and warning lines, or the whole log if it has none.
apt_errors() {
  grep -E '^(E|W|Err):' "$1" >&2 || cat "$1" >&2
}

# ensure_packages GROUP: installs what a preset or group needs, or says what is missing.
ensure_packages() {
  local missing
  # shellcheck disable=SC2046
  missing=$(missing_packages $(packages_for "$1"))
  [ -z "$missing" ] && return 0
  # shellcheck disable=SC2086
  install_packages $missing && return 0
  echo "$1 needs these Debian packages: $(echo $missing)" >&2
  return 1
}

# build_preset PRESET [DIR CACHE-ARGUMENT...]: configures once (into DIR, with
# these cache arguments, where given), then builds; shows the log only on
# failure. Under CI a compiler warning fails the build.
build_preset() {
  local preset=$1 dir=${2:-build/$1}
  shift $(($# > 1 ? 2 : 1))
  local log="$dir.log" args=("$@")
  [ -n "${CI:-}" ] && args+=(-DCMAKE_COMPILE_WARNING_AS_ERROR=ON)
  mkdir -p "$(dirname "$dir")"
  { [ -f "$dir/build.ninja" ] || cmake --preset "$preset" -B "$dir" "${args[@]}"; } >"$log" 2>&1 &&
    cmake --build "$dir" >>"$log" 2>&1 || { cat "$log" >&2; return 1; }
}

# build_revision REVISION PRESET: builds a git revision with a preset, once,
# in build/compare/COMMIT-PRESET/build (without tests), and prints that
# folder. The revision's sources are checked out in a worktree for the build
# alone and removed after it, so that worktrees never pile up. The build
# counts as made only when it finished: a build that failed or was cut short
# is made again from scratch.
build_revision() {
  local commit folder
  commit=$(git rev-parse --short=12 "$1^{commit}")
  folder=build/compare/$commit-$2
  if [ ! -f "$folder/built" ]; then
    echo "building $1 ($commit) with the $2 preset ..." >&2
    git worktree remove --force "$folder/source" 2>/dev/null || true
    rm -rf "$folder"
    git worktree prune
    git worktree add -q --detach "$folder/source" "$commit"
    local made=''
    (cd "$folder/source" && build_preset "$2" ../build -DBUILD_TESTING=OFF) && made=1
    git worktree remove --force "$folder/source"
    if [ -z "$made" ]; then
      echo "compare: $1 does not build with the $2 preset (its log: $folder/build.log)" >&2
      return 1
    fi
    touch "$folder/built"
  fi
  echo "$folder/build"
}

# in_background COMMAND...: runs COMMAND in the background in a process group
# of its own, which ends with this script however it ends, COMMAND's children
# too; sets `background` to the group's number.
in_background() {
  setsid "$@" &
  background=$!
  trap 'kill -TERM -- -"$background" 2>/dev/null; wait 2>/dev/null' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
}

# make_bundle PRESET: makes the preset's board bundle with CPack, where the
# build's description says it goes, and prints its path.
make_bundle() {
  (cd "build/$1" && quietly cpack.log cpack -G TGZ) || return 1
  tool shared.build_description "build/$1" get bundle
}

# program_command PRESET PROGRAM: sets the array `command` to the words that
# run the build's PROGRAM, through the target's emulator when it has one.
program_command() {
  local words
  words=$(tool shared.build_description "build/$1" command "$2") || return 1
  mapfile -t command <<<"$words"
}

# enter_run PRESET: moves into build/PRESET/run, where the build's sample
# files are made once, sets `samples` to their names and `command` to the
# words that run its fir_benchmark there.
enter_run() {
  local make_samples sample
  program_command "$1" make_samples || return 1
  make_samples=("${command[@]}")
  mapfile -t samples < <("${make_samples[@]}" --names) && [ ${#samples[@]} -gt 0 ] || return 1
  program_command "$1" fir_benchmark || return 1
  mkdir -p "build/$1/run" && cd "build/$1/run" || return 1
  for sample in "${samples[@]}"; do
    [ -f "$sample" ] || { "${make_samples[@]}" .; return; }
  done
}

# time_kernels PRESET FILE: Google Benchmark's repetitions of each kernel on
# fir_benchmark's run, as JSON in FILE. Its own output is shown only when it
# fails.
time_kernels() {
  program_command "$1" kernel_timings || return 1
  quietly "$2.log" "${command[@]}" --benchmark_out="$2"
}

# sweep_kernels PRESET DIR: the sweep over taps and working sets, timed at -O0
# and -O2, in the results files that DIR then holds.
sweep_kernels() {
  local program
  mkdir -p "$2"
  for program in kernel_timings kernel_timings_O2; do
    program_command "$1" "$program" || return 1
    (cd "$2" && quietly "$program.log" "${command[@]}" --sweep --results) || return 1
  done
}

# quietly LOG COMMAND...: runs COMMAND with its output in LOG, which is shown
# and kept when it fails.
quietly() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { cat "$log" >&2; echo "failed: $* (output in $log)" >&2; return 1; }
  rm -f "$log"
}

# fuzz_reader SECONDS: runs the reader's fuzz target (host-clang) from the
# corpus in tests/fuzz_corpus, growing build/fuzz/corpus, and prints how many
# texts it tried. On a difference or a sanitizer report it prints the text,
# both results and where the input was saved, and fails; on a fault of its
# own (a sanitizer that cannot run, say), the log's last lines.
fuzz_reader() {
  local log=build/fuzz/fuzz.log runs
  program_command host-clang value_reader_fuzz || return 1
  mkdir -p build/fuzz/corpus build/fuzz/failures
  if ! "${command[@]}" -max_total_time="$1" -max_len=512 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$PWD/build/fuzz/failures/" build/fuzz/corpus tests/fuzz_corpus >"$log" 2>&1; then
    if grep -E -A4 '^value [0-9]+ of the text|ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|runtime error' "$log" >&2; then
      grep -E 'Test unit written to' "$log" >&2 || true
      echo "fuzz: the reader and extraction differ (whole log: $log)" >&2
    else
      tail -n 8 "$log" >&2
      echo "fuzz: libFuzzer stopped without finding a difference (whole log: $log)" >&2
    fi
    return 1
  fi
  runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 texts in \2 s/p' "$log")
  echo "fuzz: tried ${runs:-?}, no difference"
}
