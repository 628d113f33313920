#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the Qt-free layers under
# AddressSanitizer+UBSan, the threading tests under ThreadSanitizer, then the whole
# suite (windows included) in the normal build. Build folders are kept and reused.
set -uo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh || exit 1

export QT_QPA_PLATFORM=offscreen
# A compiler cache, where one is installed, makes the three builds of a fresh clone cheap.
if command -v ccache >/dev/null 2>&1 && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$(cd .. && pwd)" CCACHE_NOHASHDIR=1
fi
JOBS=${MIXORA_JOBS:-$(nproc)}
status=0

configure_and_build() { # dir, cmake options...
    local dir=$1
    shift
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null || return 1
    cmake --build "$dir" -j "$JOBS" || return 1
}

run_ctest() { # dir, ctest options...
    local dir=$1
    shift
    ctest --test-dir "$dir" --output-on-failure -j "$JOBS" "$@"
}

echo "== AddressSanitizer + UBSan (engine, library, scan, playlist, settings) =="
if configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DMIXORA_GUI=OFF -DMIXORA_BENCH=OFF \
    -DMIXORA_SANITIZE=address,undefined; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest build/asan || status=1
else
    status=1
fi

echo "== ThreadSanitizer (threading tests) =="
if configure_and_build build/tsan -DCMAKE_BUILD_TYPE=Debug -DMIXORA_GUI=OFF -DMIXORA_BENCH=OFF \
    -DMIXORA_SANITIZE=thread; then
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build/tsan || status=1
else
    status=1
fi

echo "== Normal build (all tests, windows offscreen) =="
if configure_and_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
    # A JACK server with its dummy driver gives the PortAudio backend a real device that
    # consumes audio at real-time pace; tests that need it skip visibly where it is absent.
    jack_pid=""
    if command -v jackd >/dev/null 2>&1; then
        jackd --no-realtime -d dummy -r 44100 -p 512 >build/jackd.log 2>&1 &
        jack_pid=$!
        sleep 1
        kill -0 "$jack_pid" 2>/dev/null && export MIXORA_JACK=1 || jack_pid=""
    fi
    run_ctest build/release || status=1
    if [ -n "$jack_pid" ]; then
        kill "$jack_pid" 2>/dev/null
        wait "$jack_pid" 2>/dev/null
    fi
else
    status=1
    echo "0 passed, 1 failed"
fi
exit $status
