#!/usr/bin/env bash
# Installs the Debian packages Varnel needs, only those missing, quietly.
# Usage: scripts/deps.sh demo|test
set -euo pipefail

# Caladea stands in for the dialog font; Droid Sans Fallback has the step buttons' arrows.
common=(g++ cmake ninja-build pkg-config qt6-base-dev qt6-qpa-plugins
        fonts-crosextra-caladea fonts-droid-fallback
        libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libavahi-client-dev libboost1.81-dev)
case "${1:-test}" in
    demo) wanted=("${common[@]}" xvfb xauth) ;;
    # The Debian package: dpkg-dev and file for building it (dpkg-buildflags, dpkg-shlibdeps),
    # the rest for checking it as distributions do. The Windows build: MinGW-w64 (POSIX
    # threads), GoogleTest's sources, Wine to run it with its own fonts (the title bar's
    # Marlett), ImageMagick for its screenshot. The SCPI server's tests use the clients labs
    # use: PyVISA (pure-Python backend), lxi-tools, and rpcbind for its VXI-11 registration;
    # its announcement is checked with a private avahi-daemon on a private message bus; strace
    # checks the server's system calls against its unit's filter.
    test) wanted=("${common[@]}" clang libclang-rt-14-dev xvfb xauth
                  dpkg-dev file desktop-file-utils appstream lintian
                  g++-mingw-w64-x86-64-posix googletest wine wine64 fonts-wine imagemagick
                  python3-pyvisa python3-pyvisa-py lxi-tools avahi-daemon avahi-utils
                  dbus-daemon systemd strace rpcbind
                  chromium chromium-driver python3-selenium libxml2-utils curl) ;;
    *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac

missing=()
for pkg in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages: ${missing[*]}. Run as root, or install them with apt-get." >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
