# Sourced by tools/cpython.sh and tools/cross.sh: the Debian archives the
# machine's apt configuration names, read and never changed.

# "URI<TAB>suites<TAB>signed-by" of every `deb` entry of the machine's sources
# (deb822 and one-line files).
archive_entries() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && uri != "") print uri "\t" suites "\t" key
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
        [ -f "$f" ] || continue
        awk '$1 == "deb" {
                 key = ""; i = 2
                 if ($2 ~ /^\[/) { while ($i !~ /\]$/) { if ($i ~ /signed-by=/) key = $i; i++ }
                                   if ($i ~ /signed-by=/) key = $i; i++ }
                 sub(/.*signed-by=/, "", key); sub(/\]$/, "", key)
                 print $i "\t" $(i + 1) "\t" key }' "$f"
    done
}
