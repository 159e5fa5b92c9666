#!/usr/bin/env bash
# Configures and builds one flavour of Varnel into build/<flavour>.
# Usage: scripts/build.sh release|asan|tsan|fuzz|windows [cmake target...]
#        scripts/build.sh package    (the Debian package build/package/varnel_<version>_amd64.deb)
# windows cross-builds the Qt-free core, the Win32 link and their tests as static .exe's.
set -euo pipefail
cd "$(dirname "$0")/.."

flavour=${1:?usage: $0 release|asan|tsan|fuzz|windows [target...] | package}
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
    package)
        # The programs alone, with Debian's hardening flags (stack protector, fortified
        # calls, read-only relocations bound at start); the tests run on the release flavour.
        [ $# -eq 0 ] || { echo "the package flavour builds everything it installs" >&2; exit 2; }
        command -v dpkg-buildflags >/dev/null ||
            { echo "the package flavour needs dpkg-dev: run scripts/deps.sh test" >&2; exit 1; }
        flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
        # Installed under /usr, so that the files that name a path (the unit's ExecStart) name
        # the package's.
        args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNEL_BUILD_TESTS=OFF -DVARNEL_BUILD_BENCH=OFF
               -DCMAKE_INSTALL_PREFIX=/usr
               "-DCMAKE_CXX_FLAGS=$(flags CPPFLAGS) $(flags CXXFLAGS)"
               "-DCMAKE_EXE_LINKER_FLAGS=$(flags LDFLAGS)") ;;
    windows)
        args+=(-DCMAKE_BUILD_TYPE=Release
               "-DCMAKE_TOOLCHAIN_FILE=$PWD/cmake/toolchain-mingw64.cmake") ;;
    *) echo "unknown flavour: $flavour" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" "${args[@]}" >/dev/null
cmake --build "$dir" -j "$(nproc)" ${1:+--target "$@"}

if [ "$flavour" = package ]; then
    rm -f "$dir"/*.deb
    (cd "$dir" && cpack -G DEB) | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p'
fi
