# The peer TFTP servers the benchmarks measure FlashKit against, for sourcing: Debian's tftpd-hpa
# and dnsmasq, fetched with `apt-get download` and unpacked with `dpkg -x` into $peers (nothing is
# installed, no daemon starts). The caller sets cache, peers and peer_libs and defines say and die.

# The peers and those of their library dependencies this machine lacks; the walk follows the first
# of each set of alternatives and stops at installed packages.
peer_packages() {
    local -a queue=(tftpd-hpa dnsmasq-base)
    local -A seen=()
    local i=0 dep
    while [ "$i" -lt "${#queue[@]}" ] && [ "$i" -lt 100 ]; do
        printf '%s\n' "${queue[i]}"
        for dep in $(apt-cache depends --no-recommends --no-suggests --no-conflicts --no-breaks \
                         --no-replaces --no-enhances "${queue[i]}" |
                     awk '$1 == "|Depends:" { if (!alt) print $2; alt = 1; next }
                          $1 == "Depends:"  { if (!alt) print $2; alt = 0 }' | grep '^lib'); do
            [ -n "${seen[$dep]:-}" ] && continue
            seen[$dep]=1
            dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q 'ok installed' && continue
            queue+=("$dep")
        done
        i=$((i + 1))
    done
}

fetch_peers() {
    if [ -x "$peers/usr/sbin/in.tftpd" ] && [ -x "$peers/usr/sbin/dnsmasq" ]; then return; fi
    say "fetching tftpd-hpa and dnsmasq into $peers (apt-get download, dpkg -x; nothing installed)"
    local debs=$cache/debs deb
    local -a packages
    rm -rf "$debs" "$peers"
    mkdir -p "$debs"
    if ! apt-cache show tftpd-hpa dnsmasq-base >/dev/null 2>&1; then apt-get update -qq; fi
    mapfile -t packages < <(peer_packages)
    (cd "$debs" && apt-get download -q -o APT::Sandbox::User=root "${packages[@]}") >/dev/null
    for deb in "$debs"/*.deb; do dpkg -x "$deb" "$peers"; done
    if LD_LIBRARY_PATH=$peer_libs ldd "$peers/usr/sbin/in.tftpd" "$peers/usr/sbin/dnsmasq" |
        grep 'not found' >&2; then
        die "the unpacked peers miss the libraries above"
    fi
}

# The command that runs peer $1 (tftpd-hpa or dnsmasq) in the foreground, serving folder $3 on
# $2:69, in the array `command`.
peer_command() {
    case "$1" in
    tftpd-hpa)
        command=(env LD_LIBRARY_PATH="$peer_libs" "$peers/usr/sbin/in.tftpd" --foreground --listen
                 --address "$2:69" --user root --secure "$3") ;;
    dnsmasq)
        # Not --bind-interfaces: with it, dnsmasq's single-port replies carry no valid source
        # address and fail with "Network is unreachable". Its default of 50 transfers at once
        # is raised to a bench's 64.
        command=(env LD_LIBRARY_PATH="$peer_libs" "$peers/usr/sbin/dnsmasq" --keep-in-foreground
                 --conf-file=/dev/null --port=0 --no-resolv --no-hosts --user=root
                 --pid-file="$cache/dnsmasq-$$.pid" --log-facility=- --quiet-tftp --enable-tftp
                 --tftp-single-port --tftp-max=64 --tftp-root="$3" --listen-address="$2") ;;
    *) die "no peer named $1" ;;
    esac
}
