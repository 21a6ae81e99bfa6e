# Sourced by the scripts that fetch from the Debian archive.
# debian_mirror: prints the archive URI of the machine's own apt sources (deb822 .sources
# files first, then sources.list), without a trailing slash; returns 1 when there is none.
debian_mirror() {
    local m="" f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        m=$(awk '/^URIs:/ {for (i=2;i<=NF;i++) if ($i !~ /security/) {print $i; exit}}' "$f")
        [ -n "$m" ] && break
    done
    if [ -z "$m" ] && [ -f /etc/apt/sources.list ]; then
        m=$(awk '$1=="deb" && $0 !~ /security/ {for (i=2;i<=NF;i++) if ($i ~ /^https?:/) {print $i; exit}}' /etc/apt/sources.list)
    fi
    [ -n "$m" ] || return 1
    echo "${m%/}"
}
