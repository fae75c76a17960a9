#!/usr/bin/env bash
# Installs the Debian package on this machine (as root) and checks it as an operator meets it:
# every file in place, the menu entries and the metainfo valid, the window started by a user
# for whom /usr/bin is read-only keeps its settings under ~/.config, on X11 and on Wayland, a
# module programmed on the user's settings and records (by the tests' pravune-cli-sim: the
# installed pravune-cli has no simulated bus and must ignore its variable), and after `dpkg -r`
# nothing left but the user's settings and records, which the next install takes up again.
# Usage: tests/package/check.sh pravune-loader_<version>_amd64.deb [pravune-cli-sim]
# (default: the pravune-cli-sim built beside the package)
# It removes an installed pravune-loader package first, and purges it at the end.
set -euo pipefail
deb=$(realpath "$1")
sim=$(realpath -m "${2:-$(dirname "$deb")/pravune-cli-sim}")
[ -x "$sim" ] || { echo "no $sim: build the tests' pravune-cli-sim (PRAVUNE_TESTS=ON)"; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
version=$(dpkg-deb -f "$deb" Version)
user=pravune-ci
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

[ "$(id -u)" -eq 0 ] || { echo "run as root"; exit 2; }
if dpkg-query -W -f='${Status}' pravune-loader 2> /dev/null | grep -q 'ok installed'; then
    dpkg -r pravune-loader > /dev/null
fi
id "$user" > /dev/null 2>&1 || useradd --create-home --shell /bin/sh "$user"
home=$(getent passwd "$user" | cut -d: -f6)
settings=$home/.config/pravune-loader
rm -rf "$settings" "$home/.config/pravune-loader-demo"
as_user() { runuser -u "$user" -- env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"; }

install_package() {
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq --no-install-recommends "$deb" > /tmp/pravune-apt.log 2>&1 || {
        apt-get update -qq && apt-get install -y -qq --no-install-recommends "$deb"
    } > /tmp/pravune-apt.log 2>&1 || { cat /tmp/pravune-apt.log; exit 1; }
}

echo "== install $deb"
install_package
depends=$(dpkg-query -W -f='${Depends}' pravune-loader)
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6gui6 libqt6core6 libsqlite3-0 libpq5 libssl3 libstdc++6 libc6 \
    qt6-wayland fonts-liberation2; do
    [[ "$depends" == *"$lib"* ]] || fail "Depends does not name $lib"
done

for program in pravune-loader pravune-cli; do
    out=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --version)
    [ "$out" = "$program $version" ] && pass "$out" || fail "$program --version: $out"
done

echo "== files"
expected=(
    /usr/bin/pravune-loader /usr/bin/pravune-loader-demo /usr/bin/pravune-cli
    /usr/bin/pravune-vmodule
    /usr/lib/udev/rules.d/70-pravune-bootloader.rules
    /usr/share/applications/pravune-loader.desktop
    /usr/share/applications/pravune-loader-demo.desktop
    /usr/share/metainfo/example.pravune.loader.metainfo.xml
    /usr/share/doc/pravune-loader/README.md /usr/share/doc/pravune-loader/copyright
    /usr/share/doc/pravune-loader/docs/operator.md /usr/share/doc/pravune-loader/docs/scripting.md
    /usr/share/doc/pravune-loader/docs/administration.md /usr/share/doc/pravune-loader/docs/developer.md
    /usr/share/pravune-loader/examples/pravune-sample.hex
)
for size in 16 22 24 32 48 64 128 256; do
    expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/pravune-loader.png")
done
for program in pravune-loader pravune-loader-demo pravune-cli pravune-vmodule; do
    expected+=("/usr/share/man/man1/$program.1.gz")
done
listed=$(dpkg -L pravune-loader)
files=()
while IFS= read -r path; do
    [ -f "$path" ] && [ ! -L "$path" ] && files+=("$path")
done <<< "$listed"
for path in "${expected[@]}"; do
    grep -qxF "$path" <<< "$listed" && [ -f "$path" ] || fail "$path not installed"
done
for path in "${files[@]}"; do
    printf '%s\n' "${expected[@]}" | grep -qxF "$path" || fail "unexpected file $path"
done
[ ${#files[@]} -eq ${#expected[@]} ] && pass "${#files[@]} files, each where it belongs"
for size in 16 48 256; do
    file "/usr/share/icons/hicolor/${size}x${size}/apps/pravune-loader.png" |
        grep -q "PNG image data, $size x $size" || fail "icon ${size}x${size} is not that size"
done
for program in pravune-loader pravune-cli pravune-vmodule; do
    zcat "/usr/share/man/man1/$program.1.gz" | grep -q '^\.SH' ||
        fail "the man page of $program has no sections"
done
grep -qx 'Exec=pravune-loader' /usr/share/applications/pravune-loader.desktop ||
    fail "the menu entry does not start pravune-loader from PATH"

echo "== menu entries and metainfo"
desktop-file-validate /usr/share/applications/pravune-loader.desktop \
    /usr/share/applications/pravune-loader-demo.desktop && pass "desktop-file-validate"
appstreamcli validate --no-net /usr/share/metainfo/example.pravune.loader.metainfo.xml ||
    fail "appstreamcli validate"

# Starts the loader as the user with the environment or wrapper given, waits (15 s at most) for
# its settings file (the first argument) to show the identifiers the window writes at start and
# for what it prints to match the second argument, and ends it. Its output is left in
# ~/window.log.
start_window() {
    local config=$1 printed=$2
    shift 2
    as_user "$@" sh -c '
        "$0" > "$HOME/window.log" 2>&1 &
        pid=$!
        i=0
        while [ $i -lt 150 ] && ! { grep -q "^m_strPID_bt=" "$1" && grep -q "$2" "$HOME/window.log"; } 2> /dev/null; do
            kill -0 $pid 2> /dev/null || break
            sleep 0.1
            i=$((i + 1))
        done
        kill $pid 2> /dev/null
        wait $pid 2> /dev/null
        grep -q "^m_strPID_bt=" "$1" && grep -q "$2" "$HOME/window.log"' pravune-loader "$config" "$printed"
}

echo "== the window, started by a user who may not write /usr/bin (X11)"
as_user test ! -w /usr/bin || fail "the user may write /usr/bin"
if start_window "$settings/config.ini" "" xvfb-run -a; then
    pass "config.ini made under ~/.config: $(tr '\n' ' ' < "$settings/config.ini")"
else
    fail "no config.ini under $settings"
    cat "$home/window.log"
fi
[ "$(stat -c %a "$settings")" = 700 ] || fail "$settings is not private"
[ ! -e /usr/bin/config.ini ] || fail "config.ini made in /usr/bin"

echo "== root may write /usr/bin; its settings go under its own home all the same"
roothome=$(mktemp -d)
HOME=$roothome XDG_CONFIG_HOME='' xvfb-run -a sh -c '
    pravune-loader > /dev/null 2>&1 & pid=$!
    i=0
    while [ $i -lt 150 ] && [ ! -s "$HOME/.config/pravune-loader/config.ini" ]; do
        sleep 0.1; i=$((i + 1))
    done
    kill $pid; wait $pid' > /dev/null 2>&1 || true
[ -s "$roothome/.config/pravune-loader/config.ini" ] && pass "root's settings in its home" ||
    fail "root's settings not under its home"
[ ! -e /usr/bin/config.ini ] || fail "config.ini made in /usr/bin"
rm -rf "$roothome"

echo "== the window on Wayland only (weston, headless)"
if command -v weston > /dev/null; then
    runtime=$(mktemp -d)
    chown "$user" "$runtime"
    chmod 700 "$runtime"
    rm -f "$settings/config.ini"
    as_user XDG_RUNTIME_DIR="$runtime" weston --backend=headless-backend.so \
        --socket=wayland-pravune --idle-time=0 > "$runtime.weston.log" 2>&1 &
    weston=$!
    for _ in $(seq 100); do [ -S "$runtime/wayland-pravune" ] && break; sleep 0.1; done
    # The client's side of the protocol shows the window made and painted.
    if start_window "$settings/config.ini" 'wl_surface@[0-9]*\.attach(wl_buffer' \
        XDG_RUNTIME_DIR="$runtime" WAYLAND_DEBUG=client WAYLAND_DISPLAY=wayland-pravune \
        QT_QPA_PLATFORM=wayland &&
        grep -q 'xdg_toplevel@[0-9]*\.set_title("PRAVUNE Loader' "$home/window.log"; then
        pass "the loader's window made and painted on Wayland, without X"
    else
        fail "the loader did not start on Wayland"
        grep -v '^\[' "$home/window.log" | tail -n 20 || true
        cat "$runtime.weston.log"
    fi
    kill "$weston" 2> /dev/null || true
    wait "$weston" 2> /dev/null || true
    rm -rf "$runtime" "$runtime.weston.log"
else
    echo "weston is not installed: Wayland not checked"
fi

echo "== a module programmed on the user's settings and records (simulated bus)"
# The tests' build of the command line, somewhere the user may run it.
simdir=$(mktemp -d)
chmod 755 "$simdir"
install -m 755 "$sim" "$simdir/pravune-cli-sim"
program_one() {
    as_user PRAVUNE_CLI_SIMULATE="$1" "$simdir/pravune-cli-sim" --config "$settings/config.ini" \
        --json program --sn-addr 3B00 --sn-bytes 2 --wait 5 \
        /usr/share/pravune-loader/examples/pravune-sample.hex
}
program_one MOD001 > /tmp/pravune-program.log 2>&1 || {
    cat /tmp/pravune-program.log
    fail "pravune-cli program"
}
grep -q '"event":"result"' /tmp/pravune-program.log && pass "programmed MOD001"
counter=$(grep '^SN_Current=' "$settings/config.ini" || true)
[ -f "$settings/records.sqlite" ] || fail "no records.sqlite beside the user's config.ini"
before=$(cd "$settings" && sha256sum config.ini)

echo "== the installed pravune-cli takes no test switch"
! grep -aq PRAVUNE_CLI_SIMULATE /usr/bin/pravune-cli || fail "pravune-cli holds the simulated bus"
status=0
as_user PRAVUNE_CLI_SIMULATE=MOD009 pravune-cli --json program --sn-addr 3B00 --sn-bytes 2 \
    --wait 0 /usr/share/pravune-loader/examples/pravune-sample.hex > /tmp/pravune-program.log 2>&1 ||
    status=$?
if [ "$status" -ne 0 ] && ! grep -q MOD009 /tmp/pravune-program.log &&
    [ "$(cd "$settings" && sha256sum config.ini)" = "$before" ] &&
    ! as_user pravune-cli records | grep -q MOD009; then
    pass "PRAVUNE_CLI_SIMULATE ignored (exit $status, nothing programmed or recorded)"
else
    fail "the installed pravune-cli obeyed PRAVUNE_CLI_SIMULATE (exit $status)"
    cat /tmp/pravune-program.log
fi

echo "== dpkg -r: nothing left but the user's settings"
dpkg -r pravune-loader > /dev/null
for path in "${files[@]}"; do
    [ ! -e "$path" ] || fail "$path left after dpkg -r"
done
for dir in /usr/share/pravune-loader /usr/share/doc/pravune-loader; do
    [ ! -e "$dir" ] || fail "$dir left after dpkg -r"
done
[ ! -e /usr/bin/config.ini ] || fail "/usr/bin/config.ini left"
[ "$(cd "$settings" && sha256sum config.ini)" = "$before" ] && [ -f "$settings/records.sqlite" ] &&
    pass "the user's settings and records stay: $counter" ||
    fail "the user's settings changed on dpkg -r"

echo "== installed again: the settings, the records and the counter carry on"
install_package
records=$(as_user pravune-cli records)
grep -q 'MOD001' <<< "$records" && pass "the record of MOD001 is there" ||
    fail "the record of MOD001 is gone"
program_one MOD002 > /tmp/pravune-program.log 2>&1 || fail "pravune-cli program after reinstall"
serials=$(as_user pravune-cli --json records | grep -o '"value":[0-9]*' | sort -u | wc -l)
[ "$serials" = 2 ] && pass "two modules, two serial numbers" ||
    fail "serial numbers after reinstall: $serials distinct, not 2"

dpkg -P pravune-loader > /dev/null
rm -f /tmp/pravune-apt.log /tmp/pravune-program.log
rm -rf "$simdir"
if [ $failures -ne 0 ]; then
    echo "package check: $failures failed"
    exit 1
fi
echo "package check passed"
