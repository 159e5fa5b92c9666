#!/usr/bin/env bash
# Configures and builds one flavour of Varnel into build/<flavour>.
# Usage: scripts/build.sh release|asan|tsan|fuzz|windows [cmake target...]
# windows cross-builds the Qt-free core, the Win32 link and their tests as static .exe's.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:?usage: $0 release|asan|tsan|fuzz|windows [target...]}
shift
dir=build/$flavour
args=(-G Ninja -DVARNEL_WERROR=ON)
case "$flavour" in
    release)
        args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
    asan)
        args+=(-DCMAKE_BUILD_TYPE=Debug -DVARNEL_BUILD_BENCH=OFF
               "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer") ;;
    tsan)
        # Debian's Qt is not built for ThreadSanitizer: only the Qt-free code runs here.
        args+=(-DCMAKE_BUILD_TYPE=Debug -DVARNEL_WITH_QT=OFF -DVARNEL_BUILD_BENCH=OFF
               "-DCMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer") ;;
    fuzz)
        args+=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DVARNEL_WITH_QT=OFF
               -DVARNEL_BUILD_TESTS=OFF -DVARNEL_BUILD_BENCH=OFF -DVARNEL_BUILD_FUZZ=ON) ;;
    windows)
        args+=(-DCMAKE_BUILD_TYPE=Release
               "-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchain-mingw64.cmake") ;;
    *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" "${args[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" ${1:+--target "$@"}
