#!/usr/bin/env bash
# Builds the program and its tests with sanitizers into a folder of their own and runs
# every test there; any sanitizer report fails the run.
#   scripts/sanitize.sh address   AddressSanitizer with leak detection + UndefinedBehaviorSanitizer
#                                 (build-asan/), with tests/support/lsan.supp naming the ODBC
#                                 driver's own leak only; only the test programs are built
#   scripts/sanitize.sh thread    ThreadSanitizer on the export and workbook tests (build-tsan/),
#                                 with tests/support/tsan.supp naming third-party code only;
#                                 only their programs are built, without precompiled headers
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-address}
case "$kind" in
address)
    dir=build-asan
    flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
    # -O1, as AddressSanitizer asks at least: half the build time of -O2, the tests a
    # little slower.
    optimize=-O1
    # A leak fails the run too.
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp print_suppressions=0"
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # Once is enough for the locale runs and the million-row test.
    filter=(-E "^de_DE\\.|RowsBeyondOneSheet|SheetPartPast4GiB")
    targets=(kestrove_tests)
    headers=()
    ;;
thread)
    dir=build-tsan
    flags="-fsanitize=thread -fno-omit-frame-pointer"
    # -O2: at -O1 the tests ran a third slower, more than the build gained.
    optimize=-O2
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/support/tsan.supp"
    filter=(-R "^(Import|ReadAhead|ExportCommand|Faults|Workbook|DateTimeCell|DecimalFormat|SheetNam|testbed)"
        -E "RowsBeyondOneSheet|SheetPartPast4GiB|DeathTest")
    targets=(export_tests fault_tests workbook_tests)
    # Without precompiled headers: a file that uses a header it does not include fails
    # here.
    headers=(-DCMAKE_DISABLE_PRECOMPILE_HEADERS=ON)
    ;;
*)
    echo "usage: scripts/sanitize.sh address|thread" >&2
    exit 2
    ;;
esac
# Line tables only: the reports keep their files and lines, and the build is faster.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTROVE_WARNINGS_AS_ERRORS=ON \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimize -g1 -DNDEBUG" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" "${headers[@]}"
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"
cd "$dir"
ctest --output-on-failure -j 2 "${filter[@]}"
