#!/usr/bin/env bash
# Builds the driver package, and on request the host build and all tests.
#
#   ./build.sh        install what is missing, build VKTDrv.sys and
#                     vktctl.exe, put them, their PDBs and VKTDrv.inf into
#                     dist/, check both images and the INF, package the cab
#                     for signing and a test-signed copy of the image, then
#                     run the default scenario on the simulated machine and
#                     print its trace
#   ./build.sh test   all of the above, then the static analysis of the driver's
#                     sources (zero findings), the host build and ctest (the
#                     end-to-end run under Wine among the tests), the same
#                     under AddressSanitizer and UndefinedBehaviorSanitizer
#                     (build/asan), the Debug build with coverage, its
#                     ctest and the coverage floor, and each fuzz target
#                     for a few seconds
#   ./build.sh coverage  the Debug build with coverage: run ctest and print the
#                     driver's line, routine and branch coverage (HTML report
#                     in build/coverage/)
#   ./build.sh bench  build the host build's benchmark and print its table
#                     (instructions per supervision check, under callgrind)
#   ./build.sh mutants [COUNT] [SEED]
#                     mutation testing of the driver's sources: plant one
#                     fault at a time, run the tests that reach its lines
#                     to their first failure, print killed, survived, the
#                     score and each survivor
#                     (every mutant, or a seeded sample of COUNT)
#   ./build.sh fuzz [SECONDS]
#                     build the fuzz targets (libFuzzer, AddressSanitizer,
#                     UndefinedBehaviorSanitizer) and run each for SECONDS
#                     (60 unless given); prints executions and coverage
#
# All are safe to run again; a Debian 12 machine needs nothing beforehand.
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD

PACKAGES=(clang lld llvm mingw-w64-x86-64-dev cmake ninja-build
          googletest libgtest-dev libgmock-dev python3 valgrind libclang-rt-dev
          gcc-mingw-w64-x86-64-win32
          binutils-mingw-w64-x86-64 gcab osslsigncode openssl wine64 wine
          clang-tidy gcovr ccache)

# Every build goes through ccache: the same sources are compiled in several
# modes, and a second run on the same machine compiles only what changed.
export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"

install_missing() {
    local missing=() package
    for package in "${PACKAGES[@]}"; do
        if ! dpkg -s "$package" 2>/dev/null | grep -q '^Status: install ok installed'; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -eq 0 ]; then
        return
    fi
    echo "== Installing ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo=(sudo)
    fi
    "${sudo[@]}" apt-get update -q
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# The image check of the driver: the timer's deferred routine runs at
# DISPATCH_LEVEL and must stay resident; the entry, the dispatch routines and
# the supervision routines must have symbols and lines in the PDB.
DRIVER_ROUTINES=(DriverEntry AddDevice DispatchCreate DispatchDeviceControl DispatchPower
                 DispatchPnp DispatchReadWrite DispatchPassThrough SupervisionDpc
                 SupervisionWork SetWatchList IsWatchedProcessRunning)
check_driver_image() {
    local lines=() routine
    for routine in "${DRIVER_ROUTINES[@]}"; do
        lines+=(--lines "$routine")
    done
    python3 windows/check_image.py "$1" --not-paged SupervisionDpc "${lines[@]}"
}

build_package() {
    echo "== Windows build: build/windows"
    cmake -S windows -B build/windows -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
    cmake --build build/windows

    echo "== Image check: dist/VKTDrv.sys"
    local report
    if ! report=$(check_driver_image dist/VKTDrv.sys); then
        echo "$report"
        exit 1
    fi
    echo "$report"

    echo "== INF check: dist/VKTDrv.inf"
    if ! report=$(python3 windows/check_inf.py dist/VKTDrv.inf --image dist/VKTDrv.sys); then
        echo "$report"
        exit 1
    fi
    echo "$report"

    echo "== Driver package: $ROOT/dist"
    local file
    for file in VKTDrv.sys VKTDrv.pdb VKTDrv.inf vktctl.exe vktctl.pdb; do
        printf '  %-12s %7d bytes\n' "$file" "$(stat -c %s "dist/$file")"
    done
}

run_analysis() {
    echo "== Static analysis of the driver's sources (.clang-tidy)"
    cmake -S . -B build/host -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
    python3 tools/analyze.py build/host build/windows
}

# The cab for a signing submission and a test-signed copy of the image.
package_for_signing() {
    echo "== Packages for signing: dist/VKTDrv.cab, dist/test-signed"
    windows/package.sh dist build/package
    local report
    if ! report=$(check_driver_image dist/test-signed/VKTDrv.sys); then
        echo "$report"
        exit 1
    fi
    local file
    for file in VKTDrv.cab test-signed/VKTDrv.sys; do
        printf '  %-22s %7d bytes\n' "$file" "$(stat -c %s "dist/$file")"
    done
    echo "  test signature verified (osslsigncode verify), signed image checked"
}

# vktctl.exe must be a console program that needs nothing but the system's
# own libraries, with its symbols in vktctl.pdb.
check_console_tool() {
    local headers
    headers=$(llvm-objdump -p dist/vktctl.exe)
    if ! grep -q 'Subsystem.*(Windows CUI)' <<<"$headers"; then
        echo "dist/vktctl.exe is not a console program" >&2
        exit 1
    fi
    local imports
    imports=$(sed -n 's/^ *DLL Name: //p' <<<"$headers" | tr '\n' ' ')
    if [ "$imports" != "KERNEL32.dll msvcrt.dll " ]; then
        echo "dist/vktctl.exe imports from $imports; expected KERNEL32.dll msvcrt.dll" >&2
        exit 1
    fi
    echo "OK: dist/vktctl.exe, console program importing $imports"
    python3 windows/check_symbols.py dist/vktctl.exe --lines wmain --lines VktctlRun
}

# The default scenario: a short supervised run in which the service dies and
# the firmware resets the machine.
run_default_scenario() {
    echo "== Default run: scenarios/default.vkt on the simulated machine"
    local log
    if ! log=$(cmake -S . -B build/host -G Ninja 2>&1 &&
               cmake --build build/host --target vktsim_program 2>&1); then
        echo "$log"
        exit 1
    fi
    build/host/vktsim --svg build/default-run.svg scenarios/default.vkt
    echo "== Timeline picture: $ROOT/build/default-run.svg (open it in a browser)"
}

run_tests() {
    echo "== Host build: build/host"
    cmake -S . -B build/host -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
    cmake --build build/host
    echo "== Tests"
    ctest --test-dir build/host --output-on-failure -j "$(nproc)"

    # The same sources and tests under AddressSanitizer and
    # UndefinedBehaviorSanitizer, built by the other compiler. The runtime
    # options the host kernel needs are built into the test executables.
    echo "== Sanitizer build: build/asan"
    cmake -S . -B build/asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVKT_SANITIZE=ON
    cmake --build build/asan
    echo "== Tests under the sanitizers"
    ctest --test-dir build/asan --output-on-failure -j "$(nproc)"
}

# The Debug build, unoptimised and counted by gcov: the suite must pass here
# too, and its coverage of the driver's sources must hold the recorded floor.
run_coverage() {
    echo "== Debug build with coverage: build/debug"
    cmake -S . -B build/debug -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVKT_COVERAGE=ON
    cmake --build build/debug
    find build/debug -name '*.gcda' -delete
    echo "== Tests (Debug)"
    ctest --test-dir build/debug --output-on-failure -j "$(nproc)"
    echo "== Coverage of the driver's sources"
    python3 tools/coverage.py build/debug build/coverage "$@"
}

run_bench() {
    echo "== Benchmark: build/host/bench/vkt_bench_check"
    cmake -S . -B build/host -G Ninja
    cmake --build build/host --target vkt_bench_check
    build/host/bench/vkt_bench_check
}

# Mutation testing (tools/mutants.py): one fault at a time planted in the
# driver's sources, the tests that reach it run against each in build/mutants;
# which tests reach which lines is counted once in build/mutants-map. Every
# mutant, or a seeded sample of COUNT.
run_mutants() {
    echo "== Mutation testing: build/mutants, lines reached from build/mutants-map"
    # lld links each mutant's programs in a fraction of the time ld takes.
    cmake -S . -B build/mutants -G Ninja -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld >/dev/null
    cmake -S . -B build/mutants-map -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVKT_COVERAGE=ON >/dev/null
    local args=()
    if [ -n "${1:-}" ]; then args+=(--count "$1"); fi
    if [ -n "${2:-}" ]; then args+=(--seed "$2"); fi
    python3 tools/mutants.py build/mutants --map-build build/mutants-map "${args[@]}"
}

FUZZ_TARGETS=(device_control sddl registry_values image_path acpi_answers)

build_fuzz() {
    echo "== Fuzz build: build/fuzz"
    cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++
    cmake --build build/fuzz
}

# Runs every target for $1 seconds from its seed corpus (fuzz/corpus) and
# what earlier runs found (build/fuzz/corpus). A crash, a sanitizer report,
# a verifier stop or a broken expectation fails the run; the input that
# caused it is kept in build/fuzz/artifacts.
run_fuzz() {
    local seconds=$1 target log failed=0
    mkdir -p build/fuzz/artifacts
    for target in "${FUZZ_TARGETS[@]}"; do
        mkdir -p "build/fuzz/corpus/$target"
        log="build/fuzz/$target.log"
        if build/fuzz/fuzz_"$target" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="build/fuzz/artifacts/$target-" \
            "build/fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
            printf '  %-16s %9s executions, %5s exec/s, %s (edges, features)\n' "$target" \
                "$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")" \
                "$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")" \
                "$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)"
        else
            echo "  $target: FAILED (log: $log)"
            grep -E 'ERROR|FINDING|VERIFIER STOP|runtime error|Test unit written' "$log" || tail -20 "$log"
            failed=1
        fi
    done
    return $failed
}

case "${1:-}" in
"")
    install_missing
    build_package
    check_console_tool
    package_for_signing
    run_default_scenario
    ;;
test)
    install_missing
    build_package
    check_console_tool
    package_for_signing
    run_default_scenario
    run_analysis
    run_tests
    run_coverage --floor .ci/line_coverage_floor
    build_fuzz
    echo "== Fuzz targets, briefly"
    run_fuzz 5
    ;;
coverage)
    install_missing
    run_coverage
    ;;
fuzz)
    install_missing
    build_fuzz
    echo "== Fuzz targets, ${2:-60} seconds each"
    run_fuzz "${2:-60}"
    ;;
bench)
    install_missing
    run_bench
    ;;
mutants)
    install_missing
    run_mutants "${2:-}" "${3:-}"
    ;;
*)
    echo "usage: $0 [test|coverage|bench|fuzz [SECONDS]|mutants [COUNT] [SEED]]" >&2
    exit 2
    ;;
esac
