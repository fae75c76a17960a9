# Packages the loader needs on Debian 12, and a helper that installs only the missing ones.
# Sourced by test.sh, run.sh, .ci/run and examples/build.sh.

BUILD_PACKAGES=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev
                qt6-base-dev libgl-dev fonts-liberation2 fonts-wqy-zenhei libsqlite3-dev
                libcli11-dev nlohmann-json3-dev help2man libpq-dev postgresql qt6-wayland
                libssl-dev)
# What ./test.sh adds for the window's operator run (tests/ui/operator_records.sh): a display,
# a mouse driven from outside, and screenshots.
OPERATOR_PACKAGES=(xvfb xauth xdotool imagemagick)
# The Debian package (scripts/package.sh: dpkg-shlibdeps finds its Depends, file finds the
# programs), and its check in CI (tests/package/check.sh): the validators, a display for the
# window, and a Wayland compositor without a screen.
PACKAGE_PACKAGES=(dpkg-dev file desktop-file-utils appstream xvfb xauth weston)
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# The Windows build (scripts/windows.sh): MinGW-w64, Wine to run it, GoogleTest's sources,
# what makes SQLite's amalgamation from Debian's source package (dpkg-source, tclsh, make), and
# the setup (makensis; x86_64-w64-mingw32-strip comes with MinGW-w64's binutils), and what
# drives the window from outside (a display, xdotool, screenshots) with Wine's own fonts.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 googletest
                  dpkg-dev tcl make nsis binutils-mingw-w64-x86-64 fonts-wine xvfb xauth
                  xdotool imagemagick x11-utils)
# Only for rebuilding the sample application (examples/build.sh); the build does not need it.
EXAMPLE_PACKAGES=(sdcc)

install_missing() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update -qq
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
