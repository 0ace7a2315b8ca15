#!/usr/bin/env bash
# CPython's newest source of one series, from Debian's source packages, built
# into a cache outside the checkout in three flavours:
#   release       ./configure
#   freethreaded  ./configure --disable-gil
#   debug         ./configure --with-pydebug
# and, asked for by name only, tsan: free-threaded under ThreadSanitizer.
# pyenv has no free-threaded or debug interpreters, and PyPI no CPython.
#
#   tools/cpython.sh build [FLAVOUR...]  fetch the source if needed, build the
#                                        flavours (all three by default) not built yet
#   tools/cpython.sh path FLAVOUR        print the flavour's interpreter, if built
#
# The source entry is written by copying the URIs (and key) of the machine's
# own Debian archive entry, with the suite sid, where the newest series live.
# When no source of the series downloads, one line says so and the status is
# 1: the cells that need these interpreters are then reported as missing.
# Needs root for apt-get (as on the project's machines and CI).
set -euo pipefail

SERIES="${KOFA_CPYTHON_SERIES:-3.13}"
CACHE="${KOFA_CPYTHON_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kofa/cpython}"
FLAVOURS=(release freethreaded debug)
SOURCE_LIST=/etc/apt/sources.list.d/kofa-cpython-src.list
PACKAGE="python$SERIES"

configure_flags() {
    case "$1" in
        release) echo "" ;;
        freethreaded) echo "--disable-gil" ;;
        debug) echo "--with-pydebug" ;;
        tsan) echo "--disable-gil --with-thread-sanitizer" ;;
        *) echo "unknown flavour $1" >&2; return 2 ;;
    esac
}

# The interpreter of a built flavour: python3.13, python3.13t or python3.13d.
interpreter() {
    local prefix="$CACHE/$1" name
    for name in "python$SERIES" "python${SERIES}t" "python${SERIES}d" "python${SERIES}td"; do
        if [ -x "$prefix/bin/$name" ] && [ -f "$prefix/.built" ]; then
            echo "$prefix/bin/$name"
            return 0
        fi
    done
    return 1
}

# "URI<TAB>signed-by" of the machine's main Debian archive: the first `deb`
# entry with a plain suite (bookworm, not bookworm-security), from deb822 or
# one-line files.
archive_entry() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && suites ~ /(^| )[a-z]+( |$)/ && uri != "" && !done) {
                    print uri "\t" key; done = 1
                }
                types = ""; suites = ""; uri = ""; key = ""
            }
            /^[[:space:]]*#/ { next }
            /^[[:space:]]*$/ { flush(); next }
            /^Types:/ { types = $0; sub(/^Types:[[:space:]]*/, "", types) }
            /^URIs:/ { uri = $2 }
            /^Suites:/ { suites = $0; sub(/^Suites:[[:space:]]*/, "", suites) }
            /^Signed-By:/ { key = $2 }
            END { flush() }
        ' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] && [ "$f" != "$SOURCE_LIST" ] || continue
        awk '$1 == "deb" {
                 key = ""; i = 2
                 if ($2 ~ /^\[/) { while ($i !~ /\]$/) { if ($i ~ /signed-by=/) key = $i; i++ }
                                   if ($i ~ /signed-by=/) key = $i; i++ }
                 sub(/.*signed-by=/, "", key); sub(/\]$/, "", key)
                 if ($(i + 1) ~ /^[a-z]+$/) print $i "\t" key }' "$f"
    done
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
    local flavour="$1" tarball="$2" prefix="$CACHE/$1" work="$CACHE/build/$1"
    local upstream
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
        ./configure --prefix="$prefix" $(configure_flags "$flavour") >configure.log 2>&1 ||
            { tail -n 30 configure.log; exit 1; }
        nice make -j"$(nproc)" >make.log 2>&1 || { tail -n 30 make.log; exit 1; }
        make install >install.log 2>&1 || { tail -n 30 install.log; exit 1; }
    )
    echo "$upstream" > "$prefix/.built"
    rm -rf "$work"
    echo "cpython.sh: built $(interpreter "$flavour")"
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
        if ! tarball="$(fetch_source)"; then
            echo "cpython.sh: no $PACKAGE source downloads from the machine's Debian sources: the free-threaded and debug cells are missing"
            exit 1
        fi
        for flavour in "$@"; do
            configure_flags "$flavour" >/dev/null
            build_flavour "$flavour" "$tarball"
        done
        ;;
    path)
        interpreter "${2:?flavour}"
        ;;
    *)
        echo "usage: tools/cpython.sh [build [FLAVOUR...] | path FLAVOUR], FLAVOUR: release, freethreaded, debug, tsan" >&2
        exit 2
        ;;
esac
