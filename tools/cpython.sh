#!/usr/bin/env bash
# CPython of one series in its flavours, kept in a cache outside the checkout:
#   release       ./configure
#   freethreaded  ./configure --disable-gil
#   debug         ./configure --with-pydebug
# and, asked for by name only, tsan: free-threaded under ThreadSanitizer.
# pyenv has no free-threaded or debug interpreters, and PyPI no CPython.
#
#   tools/cpython.sh build [FLAVOUR...]  get the flavours (all by default) not there yet
#   tools/cpython.sh path FLAVOUR        print the flavour's interpreter, if there
#
# KOFA_CPYTHON_SERIES picks the series (3.13 by default). A series comes one
# of two ways:
# - built from Debian's source package (3.13): the source entry copies the
#   URIs (and key) of the machine's own Debian archive entry, with the suite
#   sid, where the newest series live; each flavour is configured, built and
#   installed into CACHE/FLAVOUR.
# - unpacked from unstable's binary packages (3.14, 3.15: their source is
#   listed but not served). They need a newer C library than the machine's,
#   so each flavour gets a private root, CACHE/SERIES/FLAVOUR, holding the
#   interpreter's packages with unstable's C library and the libraries its
#   modules link against; the interpreter's ELF interpreter and run path are
#   pointed into that root. The packages come through a private apt state
#   (CACHE/apt), never through the machine's own sources, which stay as they
#   are. Debian packages release (python3.N) and debug (python3.Nd) builds
#   only.
# Once there, a flavour needs no network. When a flavour cannot be had, one
# line says so and the status is 1: the cells that need it are then reported
# as missing. Needs root for apt-get (as on the project's machines and CI).
set -euo pipefail

SERIES="${KOFA_CPYTHON_SERIES:-3.13}"
CACHE="${KOFA_CPYTHON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kofa/cpython}"
SOURCE_LIST=/etc/apt/sources.list.d/kofa-cpython-src.list
PACKAGE="python$SERIES"
# Series that Debian lists as source but does not serve: unpacked from binaries.
UNPACKED_SERIES=" 3.14 3.15 "
if [[ "$UNPACKED_SERIES" == *" $SERIES "* ]]; then
    METHOD=unpack
    FLAVOURS=(release debug)
else
    METHOD=source
    FLAVOURS=(release freethreaded debug)
fi

configure_flags() {
    case "$1" in
        release) echo "" ;;
        freethreaded) echo "--disable-gil" ;;
        debug) echo "--with-pydebug" ;;
        tsan) echo "--disable-gil --with-thread-sanitizer" ;;
        *) echo "unknown flavour $1" >&2; return 2 ;;
    esac
}

# Where a flavour lives: the series built from source keeps the layout it
# always had (CACHE/FLAVOUR); an unpacked series has a root per flavour.
prefix_of() {
    if [ "$METHOD" = unpack ]; then echo "$CACHE/$SERIES/$1"; else echo "$CACHE/$1"; fi
}

# The interpreter of a flavour that is there: python3.N, python3.Nt or
# python3.Nd (an unpacked debug root holds the release interpreter too, so
# the flavour's own name is looked for first).
interpreter() {
    local prefix dir name names
    prefix="$(prefix_of "$1")"
    case "$1" in
        release) names=("python$SERIES") ;;
        freethreaded) names=("python${SERIES}t" "python$SERIES") ;;
        debug) names=("python${SERIES}d" "python$SERIES") ;;
        tsan) names=("python${SERIES}t" "python${SERIES}td" "python$SERIES") ;;
        *) return 1 ;;
    esac
    [ -f "$prefix/.built" ] || return 1
    for dir in "$prefix/bin" "$prefix/usr/bin"; do
        for name in "${names[@]}"; do
            if [ -x "$dir/$name" ]; then
                echo "$dir/$name"
                return 0
            fi
        done
    done
    return 1
}

# Runs a long command with its output in LOG, saying every minute that it
# still runs; on failure shows the log's tail. Prints the elapsed time.
run_step() {
    local label="$1" log="$2" start=$SECONDS pid status=0
    shift 2
    echo "cpython.sh: $label ..."
    "$@" >"$log" 2>&1 &
    pid=$!
    while ! wait_a_minute "$pid"; do
        echo "cpython.sh: $label: still running after $((SECONDS - start)) s"
    done
    wait "$pid" || status=$?
    if [ "$status" -ne 0 ]; then
        tail -n 30 "$log"
        echo "cpython.sh: $label failed after $((SECONDS - start)) s (log: $log)"
        return "$status"
    fi
    echo "cpython.sh: $label: done in $((SECONDS - start)) s"
}

# True once the process has ended, false after a minute while it runs.
wait_a_minute() {
    local i
    for i in $(seq 60); do
        kill -0 "$1" 2>/dev/null || return 0
        sleep 1
    done
    ! kill -0 "$1" 2>/dev/null
}

# archive_entries: the machine's `deb` entries (tools/apt-archives.sh).
. "$(dirname "${BASH_SOURCE[0]}")/apt-archives.sh"

# "URI<TAB>signed-by" of the machine's Debian archives with a plain suite
# (bookworm, not bookworm-security); the first is the main one.
archive_entry() {
    archive_entries | awk -F'\t' '$2 ~ /(^| )[a-z]+( |$)/ { print $1 "\t" $3 }'
}

write_source_entry() {
    local entry uri key
    entry="$(archive_entry | grep -m1 . || true)"
    if [ -z "$entry" ]; then
        echo "cpython.sh: no Debian archive entry in the machine's apt configuration" >&2
        return 1
    fi
    uri="${entry%%$'\t'*}"
    key="${entry#*$'\t'}"
    local line="deb-src ${key:+[signed-by=$key] }$uri sid main"
    if [ "$(cat "$SOURCE_LIST" 2>/dev/null)" != "$line" ]; then
        echo "$line" > "$SOURCE_LIST"
    fi
    # Only this entry is refreshed: the machine's other lists stay as they are.
    apt-get update -qq -o Dir::Etc::SourceList="$SOURCE_LIST" -o Dir::Etc::SourceParts=- \
        -o APT::Get::List-Cleanup=0 >/dev/null
}

# Downloads the newest source version of the series that downloads whole and
# prints the path of its upstream tarball.
fetch_source() {
    local dir="$CACHE/source" version upstream
    mkdir -p "$dir"
    write_source_entry || return 1
    for version in $(apt-cache showsrc "$PACKAGE" 2>/dev/null | awk '/^Version:/ {print $2}' | sort -u -V -r); do
        upstream="${version%-*}"
        if [ -f "$dir/${PACKAGE}_$upstream.orig.tar.xz" ]; then
            echo "$dir/${PACKAGE}_$upstream.orig.tar.xz"
            return 0
        fi
        if (cd "$dir" && apt-get source -qq --download-only "$PACKAGE=$version" >/dev/null 2>&1); then
            echo "$dir/${PACKAGE}_$upstream.orig.tar.xz"
            return 0
        fi
    done
    return 1
}

# What configure needs for the modules that pip and the tests use (ssl, zlib,
# ctypes, bz2, lzma, sqlite3, readline, uuid), installed when missing.
BUILD_DEPENDENCIES=(gcc make pkg-config xz-utils libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev
                    libsqlite3-dev libreadline-dev uuid-dev)

install_build_dependencies() {
    local missing=() package
    for package in "${BUILD_DEPENDENCIES[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    echo "cpython.sh: installing ${missing[*]}"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build_flavour() {
    local flavour="$1" tarball="$2" prefix work="$CACHE/build/$1"
    local upstream start=$SECONDS
    prefix="$(prefix_of "$flavour")"
    upstream="$(basename "$tarball" .orig.tar.xz)"
    upstream="${upstream#*_}"
    if interpreter "$flavour" >/dev/null && [ "$(cat "$prefix/.built")" = "$upstream" ]; then
        echo "cpython.sh: $flavour $upstream already built: $(interpreter "$flavour")"
        return 0
    fi
    install_build_dependencies
    echo "cpython.sh: building $flavour $upstream into $prefix"
    rm -rf "$work" "$prefix"
    mkdir -p "$work"
    tar -xf "$tarball" -C "$work" --strip-components=1
    (
        cd "$work"
        # shellcheck disable=SC2046
        run_step "$flavour: configure" configure.log ./configure --prefix="$prefix" $(configure_flags "$flavour")
        run_step "$flavour: make -j$(nproc)" make.log nice make -j"$(nproc)"
        run_step "$flavour: make install" install.log make install
    )
    echo "$upstream" > "$prefix/.built"
    rm -rf "$work"
    echo "cpython.sh: built $(interpreter "$flavour") in $((SECONDS - start)) s"
}

# ---- a series unpacked from unstable's binary packages ----------------------

APT_STATE="$CACHE/apt"

# apt-get or apt-cache on the private state: its own source list (unstable,
# with the URI and key of the machine's Debian archive), package lists and
# cache. The machine's own sources and lists are neither read nor changed.
private_apt() {
    local tool="$1"
    shift
    "$tool" -o Dir::Etc::SourceList="$APT_STATE/sources.list" -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::State::Lists="$APT_STATE/lists" -o Dir::Cache="$APT_STATE/cache" \
        -o APT::Sandbox::User=root "$@"
}

refresh_private_apt() {
    local entry uri key
    entry="$(archive_entry | grep -m1 . || true)"
    if [ -z "$entry" ]; then
        echo "cpython.sh: no Debian archive entry in the machine's apt configuration"
        return 1
    fi
    uri="${entry%%$'\t'*}"
    key="${entry#*$'\t'}"
    mkdir -p "$APT_STATE/lists/partial" "$APT_STATE/cache/archives/partial"
    echo "deb ${key:+[signed-by=$key] }$uri sid main" > "$APT_STATE/sources.list"
    private_apt apt-get update -qq >/dev/null
}

# The packages of a flavour: the interpreter, its standard library, headers
# and venv support (ensurepip with pip's wheel), and the libraries that the
# interpreter and its standard modules link against, C library included.
unpack_packages() {
    local s="$SERIES"
    local packages=("python$s" "python$s-minimal" "libpython$s-minimal" "libpython$s-stdlib" "libpython$s"
                    "python$s-dev" "libpython$s-dev" "python$s-venv" python3-pip-whl
                    libc6 libgcc-s1 zlib1g libexpat1 libffi8 libssl3t64 libbz2-1.0 liblzma5 libzstd1
                    libsqlite3-0 libmpdec4 libncursesw6 libtinfo6 libreadline8t64 libuuid1 libcrypt1)
    case "$1" in
        release) ;;
        debug) packages+=("python$s-dbg" "libpython$s-dbg") ;;
        *) return 1 ;;
    esac
    echo "${packages[@]}"
}

unpack_flavour() {
    local flavour="$1" prefix debs start=$SECONDS packages version exe lib ld header
    prefix="$(prefix_of "$flavour")"
    if ! packages="$(unpack_packages "$flavour")"; then
        echo "cpython.sh: Debian has no $flavour build of CPython $SERIES (no package, no source): its cells are missing"
        return 1
    fi
    command -v patchelf >/dev/null || {
        echo "cpython.sh: installing patchelf"
        apt-get update -qq >/dev/null
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends patchelf >/dev/null
    }
    debs="$CACHE/$SERIES/debs-$flavour"
    start=$SECONDS
    rm -rf "$debs" "$prefix"
    mkdir -p "$debs" "$prefix"
    echo "cpython.sh: $flavour $SERIES: downloading $(wc -w <<<"$packages") packages from unstable ..."
    # shellcheck disable=SC2086
    if ! (cd "$debs" && private_apt apt-get download -qq $packages >download.log 2>&1); then
        grep -m1 '^E:' "$debs/download.log" || tail -n 3 "$debs/download.log"
        echo "cpython.sh: the packages of CPython $SERIES ($flavour) cannot be had from unstable: its cells are missing"
        return 1
    fi
    echo "cpython.sh: $flavour $SERIES: downloaded $(du -sm "$debs" | cut -f1) MB in $((SECONDS - start)) s"
    local step=$SECONDS
    for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$prefix"; done
    version="$(ls "$debs" | sed -n "s/^python${SERIES}-minimal_\([^-_]*\).*/\1/p")"
    rm -rf "$debs"
    lib="$prefix/usr/lib/x86_64-linux-gnu"
    ld="$lib/ld-linux-x86-64.so.2"
    [ -e "$ld" ] || ld="$prefix/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2"
    # Every interpreter of the root starts through unstable's C library, and
    # finds its libraries and those of its modules in the root first.
    for exe in "$prefix/usr/bin/python$SERIES" "$prefix/usr/bin/python${SERIES}d"; do
        [ -f "$exe" ] && [ ! -L "$exe" ] || continue
        patchelf --set-interpreter "$ld" --force-rpath --set-rpath "$lib:$prefix/lib/x86_64-linux-gnu" "$exe"
    done
    # Debian's debug headers (python3.Nd/) are links to the release ones, so
    # a compiler that resolves them (as GCC does for -isystem) would take
    # the release pyconfig.h from beside them: copies keep the directory whole.
    for header in "$prefix"/usr/include/python"$SERIES"?; do
        [ -d "$header" ] || continue
        cp -rL "$header" "$header.copy"
        rm -rf "$header"
        mv "$header.copy" "$header"
    done
    # Builds look for pyconfig.h beside Python.h; Debian keeps it in the
    # multiarch directory, which the root's include path does not hold.
    for header in "$prefix"/usr/include/x86_64-linux-gnu/python"$SERIES"*/pyconfig.h; do
        cp "$header" "$prefix/usr/include/$(basename "$(dirname "$header")")/pyconfig.h"
    done
    # ensurepip (which venv runs) takes pip's wheel from the directory that
    # the build configuration names, /usr/share/python-wheels: the root's own.
    sed -i "s|'/usr/share/python-wheels/'|'$prefix/usr/share/python-wheels/'|" \
        "$prefix/usr/lib/python$SERIES"/_sysconfigdata_*.py
    echo "cpython.sh: $flavour $SERIES: unpacked and pointed into $prefix in $((SECONDS - step)) s"
    echo "$version" > "$prefix/.built"
    if ! exe="$(interpreter "$flavour")" ||
       ! "$exe" -c "import ssl, zlib, ctypes, bz2, lzma, sqlite3, uuid, readline, decimal, ensurepip" 2>"$prefix/check.log"; then
        tail -n 3 "$prefix/check.log"
        rm -f "$prefix/.built"
        echo "cpython.sh: the unpacked CPython $SERIES ($flavour) does not run: its cells are missing"
        return 1
    fi
    echo "cpython.sh: unpacked $exe ($version) in $((SECONDS - start)) s"
}

case "${1:-build}" in
    build)
        shift || true
        set -- "${@:-${FLAVOURS[@]}}"
        # Built once, then kept: no network while every flavour asked for is there.
        all_built=true
        for flavour in "$@"; do
            interpreter "$flavour" >/dev/null || all_built=false
        done
        if $all_built; then
            for flavour in "$@"; do echo "cpython.sh: $flavour built: $(interpreter "$flavour")"; done
            exit 0
        fi
        if [ "$METHOD" = unpack ]; then
            for flavour in "$@"; do
                interpreter "$flavour" >/dev/null && continue
                if [ -z "${refreshed:-}" ]; then
                    refreshed=1
                    refresh_private_apt || {
                        echo "cpython.sh: unstable's package lists cannot be had: the CPython $SERIES cells are missing"
                        exit 1
                    }
                fi
                unpack_flavour "$flavour" || exit 1
            done
            exit 0
        fi
        echo "cpython.sh: downloading the $PACKAGE source ..."
        start=$SECONDS
        if ! tarball="$(fetch_source)"; then
            echo "cpython.sh: no $PACKAGE source downloads from the machine's Debian sources: the free-threaded and debug cells are missing"
            exit 1
        fi
        echo "cpython.sh: source $(basename "$tarball") there after $((SECONDS - start)) s"
        for flavour in "$@"; do
            configure_flags "$flavour" >/dev/null
            build_flavour "$flavour" "$tarball"
        done
        ;;
    path)
        interpreter "${2:?flavour}"
        ;;
    *)
        echo "usage: [KOFA_CPYTHON_SERIES=3.N] tools/cpython.sh [build [FLAVOUR...] | path FLAVOUR]," \
             "FLAVOUR: release, freethreaded, debug, tsan (3.14 and 3.15: release, debug)" >&2
        exit 2
        ;;
esac
