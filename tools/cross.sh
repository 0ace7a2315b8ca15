#!/usr/bin/env bash
# A foreign Linux (aarch64, s390x) to build kofa for and test it on, here,
# under qemu's user-mode emulation; kept in a cache outside the checkout.
#
#   tools/cross.sh build ARCH [SUITE]   get what is not there yet (see below)
#   tools/cross.sh root ARCH [SUITE]    print the root, if there
#   tools/cross.sh python ARCH [SUITE]  print the root's interpreter, if there
#                                       (KOFA_CROSS_PYTHON's series, or the suite's default)
#   tools/cross.sh numpy ARCH [SUITE]   print the directory NumPy's wheel for the
#                                       root's interpreter is installed in (aarch64):
#                                       KOFA_CROSS_NUMPY's release, or "newest"
#   tools/cross.sh wheels ARCH [SUITE]  print the directory holding that wheel's file
#   tools/cross.sh run ARCH [SUITE] -- COMMAND...   run COMMAND with the root
#                                       as qemu's library prefix (QEMU_LD_PREFIX)
#
# ARCH is aarch64 or s390x; SUITE the Debian suite of the root, bookworm by
# default (bullseye, trixie, sid for the wheels of their CPython series).
# KOFA_CROSS_PYTHON=SERIES takes the root's python SERIES instead of the
# suite's default python3: sid's root holds 3.15 beside its default 3.14.
# What `build` gets:
# - on the machine: qemu-user-static and the cross g++ (apt-get install from
#   the machine's own sources, which stay as they are), and qemu's binfmt_misc
#   entry for ARCH when the kernel lacks it: tests start sys.executable in
#   subprocesses, so a foreign executable must run by itself.
# - in CACHE/SUITE-ARCH: a root holding the suite's python3 with its headers,
#   python3-numpy, pytest and hypothesis and all they need, fetched through a
#   private apt state (CACHE/apt-SUITE-ARCH: own source list with the URIs of
#   the machine's Debian archive entries, own lists and cache, an empty dpkg
#   status, APT::Architecture=ARCH) and unpacked with dpkg-deb -x. No
#   maintainer script runs, so what they would do is done here: the BLAS and
#   LAPACK links and pyconfig.h beside Python.h.
# - with KOFA_CROSS_NUMPY=RELEASE (or newest), in CACHE/SUITE-ARCH/numpy-RELEASE
#   (aarch64 only): NumPy's wheel for the root's CPython, installed from the
#   host with pip --platform --target; the wheel's file in CACHE/SUITE-ARCH/wheels.
# KOFA_CROSS_CACHE moves CACHE (~/.cache/kofa/cross by default). Once there,
# nothing needs the network. Needs root (apt-get, binfmt_misc).
set -euo pipefail

CACHE="${KOFA_CROSS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kofa/cross}"
COMMAND="${1:-}"
ARCH="${2:-}"
SUITE=bookworm
if [ $# -ge 3 ] && [ "$3" != -- ]; then SUITE="$3"; fi

case "$ARCH" in
    aarch64) DEB_ARCH=arm64 ;;
    s390x) DEB_ARCH=s390x ;;
    *)
        echo "usage: tools/cross.sh build|root|python|numpy|wheels|run ARCH [SUITE] [-- COMMAND...]," \
             "ARCH: aarch64 or s390x, SUITE: bookworm (default), bullseye, trixie, sid" >&2
        exit 2
        ;;
esac
TRIPLET="$ARCH-linux-gnu"
QEMU="qemu-$ARCH-static"
ROOT="$CACHE/$SUITE-$ARCH/root"
APT_STATE="$CACHE/apt-$SUITE-$ARCH"
# KOFA_CROSS_NUMPY asks `build` for NumPy's wheel: a release, or "newest".
NUMPY_PIN="${KOFA_CROSS_NUMPY:-}"
[ "$NUMPY_PIN" != newest ] || NUMPY_PIN=
SERIES="${KOFA_CROSS_PYTHON:-}"
NUMPY_DIR="$CACHE/$SUITE-$ARCH/numpy-${NUMPY_PIN:-newest}${SERIES:+-$SERIES}"
WHEELS_DIR="$CACHE/$SUITE-$ARCH/wheels"

say() { echo "cross.sh: $*"; }

# The interpreter of the root: KOFA_CROSS_PYTHON's, or the suite's default python3.N.
root_python() {
    local exe
    [ -f "$ROOT/.built" ] || return 1
    exe="$ROOT/usr/bin/$(if [ -n "$SERIES" ]; then echo "python$SERIES"; else cat "$ROOT/.built"; fi)"
    [ -x "$exe" ] && echo "$exe"
}

# ---- the machine: qemu, the cross compiler, binfmt_misc ---------------------

install_host_packages() {
    local missing=() package
    for package in qemu-user-static "g++-$TRIPLET" patchelf; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    say "installing ${missing[*]}"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Registers qemu for ARCH with binfmt_misc from the entry qemu-user-static
# ships (no service registers it in a container), unless the kernel has one.
register_binfmt() {
    local dir=/proc/sys/fs/binfmt_misc name="qemu-$ARCH" conf
    [ -e "$dir/$name" ] && return 0
    [ -w "$dir/register" ] || mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || true
    conf=/usr/lib/binfmt.d/$name.conf
    if [ ! -f "$conf" ]; then
        say "no $conf: cannot register qemu for $ARCH"
        return 1
    fi
    say "registering $name with binfmt_misc (from $conf)"
    grep -v '^#' "$conf" | grep . > "$dir/register"
}

# ---- the private apt state --------------------------------------------------

# archive_entries: the machine's `deb` entries (tools/apt-archives.sh).
. "$(dirname "${BASH_SOURCE[0]}")/apt-archives.sh"

# The private source list: each of the machine's Debian entries with its
# suites moved to SUITE (bookworm-updates to SUITE-updates, and so on; sid
# has neither updates nor security).
write_private_sources() {
    local host uri suites key out=() s
    host="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    while IFS=$'\t' read -r uri suites key; do
        out=()
        for s in $suites; do
            case "$s" in
                "$host") out+=("$SUITE") ;;
                "$host"-*) [ "$SUITE" = sid ] || out+=("$SUITE-${s#"$host"-}") ;;
            esac
        done
        for s in "${out[@]}"; do
            echo "deb [arch=$DEB_ARCH${key:+ signed-by=$key}] $uri $s main"
        done
    done < <(archive_entries) > "$APT_STATE/sources.list"
    if [ ! -s "$APT_STATE/sources.list" ]; then
        say "no Debian archive entry in the machine's apt configuration"
        return 1
    fi
}

# apt-get on the private state; the machine's sources, lists, dpkg status
# and architectures are neither read nor changed.
private_apt() {
    apt-get -o Dir::Etc::SourceList="$APT_STATE/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null \
        -o Dir::State="$APT_STATE/state" -o Dir::State::Lists="$APT_STATE/lists" \
        -o Dir::State::status="$APT_STATE/status" -o Dir::Cache="$APT_STATE/cache" \
        -o APT::Architecture="$DEB_ARCH" -o APT::Architectures::="$DEB_ARCH" \
        -o APT::Sandbox::User=root -o Debug::NoLocking=1 "$@"
}

# The suite's default interpreter and what the tests need; sid's other
# series too. Neither pip nor venv runs under emulation: not fetched.
root_packages() {
    echo python3 libpython3-dev python3-numpy python3-pytest python3-hypothesis libstdc++6
    [ "$SUITE" != sid ] || echo python3.15 libpython3.15-dev
}

build_root() {
    local start=$SECONDS archives exe series lib header n
    mkdir -p "$APT_STATE/lists/partial" "$APT_STATE/cache/archives/partial" "$APT_STATE/state"
    : > "$APT_STATE/status"
    write_private_sources
    say "$SUITE $DEB_ARCH: package lists ..."
    private_apt update -qq >/dev/null
    # shellcheck disable=SC2046
    say "$SUITE $DEB_ARCH: downloading" $(root_packages) "and what they need ..."
    # A mirror may keep a suite's security lists after dropping the packages
    # they name (bullseye's, past its support, here: 404): then the suite
    # without its security updates, said so.
    # shellcheck disable=SC2046
    until private_apt install -qq -y --download-only --no-install-recommends $(root_packages) \
            > "$APT_STATE/download.log" 2>&1; do
        if ! grep -q -- '-security/.* 404 ' "$APT_STATE/download.log" || ! grep -q -- '-security ' "$APT_STATE/sources.list"; then
            tail -n 5 "$APT_STATE/download.log"
            return 1
        fi
        say "$SUITE $DEB_ARCH: the mirror lacks packages that $SUITE-security lists; without $SUITE-security"
        sed -i '/-security /d' "$APT_STATE/sources.list"
        private_apt update -qq >/dev/null
    done
    archives="$APT_STATE/cache/archives"
    n="$(ls "$archives"/*.deb | wc -l)"
    say "$SUITE $DEB_ARCH: $n packages, $(du -sm "$archives" | cut -f1) MB, after $((SECONDS - start)) s"
    rm -rf "$ROOT"
    mkdir -p "$ROOT"
    for deb in "$archives"/*.deb; do dpkg-deb -x "$deb" "$ROOT"; done
    rm -f "$archives"/*.deb
    # A merged-/usr suite (trixie on) ships its files under /usr only: the
    # links that its first boot would have.
    for n in bin sbin lib lib64; do
        if [ ! -e "$ROOT/$n" ] && [ -d "$ROOT/usr/$n" ]; then ln -s "usr/$n" "$ROOT/$n"; fi
    done
    lib="$ROOT/usr/lib/$TRIPLET"
    # The alternatives that libblas3's and liblapack3's scripts would set.
    for n in blas lapack; do
        if [ -e "$lib/$n/lib$n.so.3" ] && [ ! -e "$lib/lib$n.so.3" ]; then
            ln -s "$n/lib$n.so.3" "$lib/lib$n.so.3"
        fi
    done
    exe="$(readlink "$ROOT/usr/bin/python3")"
    series="${exe#python}"
    # Builds look for pyconfig.h beside Python.h; Debian keeps it in the
    # multiarch directory, with a dispatcher in its place.
    for header in "$ROOT"/usr/include/"$TRIPLET"/python3.*/pyconfig.h; do
        [ -f "$header" ] && cp "$header" "$ROOT/usr/include/$(basename "$(dirname "$header")")/pyconfig.h"
    done
    echo "$exe" > "$ROOT/.built"
    compile_root
    if ! "$QEMU" -L "$ROOT" "$ROOT/usr/bin/$exe" -c "import numpy, pytest, hypothesis" \
            > "$ROOT/check.log" 2>&1; then
        tail -n 5 "$ROOT/check.log"
        rm -f "$ROOT/.built"
        say "the $SUITE $DEB_ARCH root's $exe does not run"
        return 1
    fi
    say "$SUITE $DEB_ARCH root with $exe and NumPy $(QEMU_LD_PREFIX="$ROOT" "$QEMU" -L "$ROOT" \
        "$ROOT/usr/bin/$exe" -c 'import numpy; print(numpy.__version__)') in $((SECONDS - start)) s: $ROOT"
}

# Debian's packages carry no byte code (their scripts compile it on the
# machine they are installed on), so the emulated interpreter would compile
# every module it imports under qemu, in every process when the byte code
# may not be written (PYTHONDONTWRITEBYTECODE): seconds each. The host's
# interpreter of the same series compiles DIRs natively, if there (byte code
# does not depend on the machine).
host_compile() {  # SERIES DIR...
    local series="$1"
    shift
    "python$series" -c "" 2>/dev/null || return 1
    "python$series" -m compileall -q -j 0 "$@" >/dev/null 2>&1 || true
}

# The root's standard libraries and Debian's modules, compiled once per series.
compile_root() {
    local exe series
    for exe in "$ROOT"/usr/bin/python3.*; do
        series="${exe##*/python}"
        case "$series" in *[!0-9.]*) continue ;; esac
        [ ! -e "$ROOT/.compiled-$series" ] || continue
        # Without the host's interpreter of the series the root stays as it
        # is, to be compiled once one is there.
        if host_compile "$series" "$ROOT/usr/lib/python$series" "$ROOT/usr/lib/python3/dist-packages"; then
            touch "$ROOT/.compiled-$series"
        fi
    done
}

# NumPy's newest wheel for the root's interpreter, by the host's pip (no pip
# runs under emulation): the tags a manylinux wheel for ARCH can carry on the
# root's C library.
fetch_numpy_wheel() {
    local exe series glibc platforms=() minor start=$SECONDS host_python
    exe="$(root_python)"
    series="$(basename "$exe")"
    series="${series#python}"
    glibc="$("$QEMU" -L "$ROOT" "$exe" -c 'import os; print(os.confstr("CS_GNU_LIBC_VERSION").split()[1])')"
    for minor in $(seq "${glibc#2.}" -1 17); do platforms+=(--platform "manylinux_2_${minor}_$ARCH"); done
    platforms+=(--platform "manylinux2014_$ARCH")
    # The host's interpreter of the same series, if there: an old pip checks
    # a wheel's Requires-Python against its own interpreter.
    for host_python in "python$series" python3; do
        "$host_python" -m pip --version >/dev/null 2>&1 && break  # a pip, not a pyenv shim of an inactive version
    done
    rm -rf "$NUMPY_DIR" "$NUMPY_DIR.part"
    say "$SUITE $DEB_ARCH: NumPy's ${NUMPY_PIN:-newest} wheel for CPython $series ..."
    # The wheel file too, for the host's pip that installs kofa's own wheels
    # for the emulated interpreter (tests/test_distribution.py).
    mkdir -p "$WHEELS_DIR"
    "$host_python" -m pip download --quiet --disable-pip-version-check --no-deps --only-binary=:all: \
        "${platforms[@]}" --python-version "$series" --implementation cp --ignore-requires-python --dest "$WHEELS_DIR" \
        "numpy${NUMPY_PIN:+==$NUMPY_PIN}"
    "$host_python" -m pip install --quiet --disable-pip-version-check --no-deps --only-binary=:all: \
        "${platforms[@]}" --python-version "$series" --implementation cp --ignore-requires-python --target "$NUMPY_DIR.part" \
        --no-index --find-links "$WHEELS_DIR" "numpy${NUMPY_PIN:+==$NUMPY_PIN}"
    host_compile "$series" "$NUMPY_DIR.part" || true
    local version
    if ! version="$(PYTHONPATH="$NUMPY_DIR.part" "$QEMU" -L "$ROOT" "$exe" -c \
            'import numpy; print(numpy.__version__)' 2>"$CACHE/$SUITE-$ARCH/numpy-check.log")"; then
        tail -n 3 "$CACHE/$SUITE-$ARCH/numpy-check.log"
        say "NumPy's wheel does not load in the $SUITE $DEB_ARCH root"
        return 1
    fi
    mv "$NUMPY_DIR.part" "$NUMPY_DIR"
    say "NumPy $version into $NUMPY_DIR in $((SECONDS - start)) s"
}

case "$COMMAND" in
    build)
        install_host_packages
        register_binfmt
        root_python >/dev/null || build_root
        compile_root
        # NumPy has aarch64 wheels on PyPI, no s390x ones.
        if [ -n "${KOFA_CROSS_NUMPY:-}" ] && [ "$ARCH" = aarch64 ] && [ ! -d "$NUMPY_DIR" ]; then
            fetch_numpy_wheel
        fi
        if ! exe="$(root_python)"; then
            say "no python$SERIES in the $SUITE $DEB_ARCH root"
            exit 1
        fi
        # A foreign executable runs by itself (binfmt_misc), as the tests' subprocesses need.
        if ! QEMU_LD_PREFIX="$ROOT" "$exe" -c "import sys, subprocess; subprocess.run([sys.executable, '-c', ''], check=True)"; then
            say "the $SUITE $DEB_ARCH interpreter does not start through binfmt_misc"
            exit 1
        fi
        say "$SUITE $DEB_ARCH ready: $exe"
        ;;
    root)
        root_python >/dev/null && echo "$ROOT"
        ;;
    python)
        root_python
        ;;
    numpy)
        [ -d "$NUMPY_DIR" ] && echo "$NUMPY_DIR"
        ;;
    wheels)
        [ -d "$WHEELS_DIR" ] && echo "$WHEELS_DIR"
        ;;
    run)
        shift 2
        [ "${1:-}" = -- ] || shift
        [ "${1:-}" = -- ] && shift
        root_python >/dev/null || { say "no $SUITE $DEB_ARCH root: tools/cross.sh build $ARCH $SUITE"; exit 1; }
        QEMU_LD_PREFIX="$ROOT" exec "$@"
        ;;
    *)
        echo "usage: tools/cross.sh build|root|python|numpy|wheels|run ARCH [SUITE] [-- COMMAND...]" >&2
        exit 2
        ;;
esac
