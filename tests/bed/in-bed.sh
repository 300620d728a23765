#!/usr/bin/env bash
# Runs a command inside a private network, mount and PID namespace where
# tavro.example and www.tavro.example resolve to 127.0.0.1, a throwaway test
# CA is trusted, and the local release site (release_server.py) is up. Nothing
# leaves loopback. Every process of the bed ends with the command. The bed
# has a Wine prefix of its own (a layer over the tree's), so several beds
# run at once.
#
#   in-bed.sh COMMAND [ARGS...]
#
# The shipped installer against the stand-in (a user's attempt without a
# window; exit code 0 verified, 1 failed, the log in the prefix's
# %LOCALAPPDATA%\TAVRO\Installer): the tree's wine-run runs a program of the
# tree under Wine, and TAVRO_WINE_RUN gives the bed a layer of its own over
# the tree's prefix:
#   TAVRO_WINE_RUN=$PWD/build/test-i686/wine-run tests/bed/in-bed.sh sh -c \
#     'cp -r site/. "$TAVRO_BED_DIR/docroot/" &&
#      build/test-i686/wine-run build/TAVRO-Static-Module-Installer.exe --download-test'
# (site/updates/tavro-update.txt and the setup under site/releases/).
#
# The command sees TAVRO_BED_DIR: docroot/ (files served), rules.json (fault
# switches per path), requests.log (what the server saw), certs/, and
# small-disk/, a file system of 200 KiB that fills up. mirror.example has a
# site of its own on 127.0.0.3:443 (its certificate from the same test CA):
# docroot-mirror/, rules-mirror.json, requests-mirror.log. The official names
# can be pointed elsewhere by rewriting hosts (bed.point_official_at): at an
# address where nothing listens the official host refuses, without a line it
# has no name.
# TAVRO_BED_SITE=none leaves port 443 free for a server the command starts.
# TAVRO_BED_LINK=RTT_MS,RATE_MBIT (80,20: a far home line) puts a link of
# that round trip and rate between the official names and port 443
# (link.py, logging its connections to link.log): they resolve to
# 127.0.0.2, where it relays to 127.0.0.1:443.
#
# Two forward proxies (tinyproxy, CONNECT to port 443 only) listen on
# 127.0.0.1:3128 (open) and :3129 (asks for a Basic sign-in), logging to
# proxy.log and proxy-auth.log, and pac/ is served over http on
# 127.0.0.1:8080 for configuration scripts (8081 takes connections and never
# answers, counting them in silent-script.log). No proxy is used unless a test
# names one in the Wine prefix's Internet settings: the proxy variables of
# the Linux environment are cleared (Wine would take http_proxy).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# The comment above is the usage; without a command there is nothing to run.
usage() { sed -n '2,/^set /s/^# \{0,1\}//p' "$0"; }
case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  "") usage >&2; exit 2 ;;
esac

case "${TAVRO_BED_LINK:-}" in
  ""|[0-9]*,[0-9]*) ;;
  *) echo "in-bed.sh: TAVRO_BED_LINK is RTT_MS,RATE_MBIT (80,20, say), not $TAVRO_BED_LINK" >&2; exit 2 ;;
esac
if [ "${TAVRO_IN_BED:-}" != 1 ]; then
  # 32-bit Wine needs i386 to run; where the kernel cannot, the emulator's
  # registration is private to the bed.
  if [ "${TAVRO_WINE_ARCH:-}" = win32 ] && [ -z "${TAVRO_I386_READY:-}" ]; then
    exec "$here/with-i386.sh" "$0" "$@"
  fi
  bed=$(mktemp -d /tmp/tavro-bed.XXXXXX)
  trap 'rm -rf "$bed"' EXIT
  "$here/make_certs.sh" "$bed/certs" "${TAVRO_OFFICIAL_HOST:-tavro.example}"
  status=0
  TAVRO_IN_BED=1 TAVRO_BED_DIR="$bed" unshare --mount --net --pid --fork --mount-proc \
    "$0" "$@" || status=$?
  exit $status
fi

host=${TAVRO_OFFICIAL_HOST:-tavro.example}
ip link set lo up
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY all_proxy ALL_PROXY

# Name resolution and trust for this namespace only.
# evil.example is a hostile foreign host the site may point at;
# mirror.example (127.0.0.3) a mirror host with a site of its own.
official=127.0.0.1
if [ -n "${TAVRO_BED_LINK:-}" ]; then official=127.0.0.2; fi
printf '127.0.0.1 localhost evil.example\n%s %s www.%s\n127.0.0.3 mirror.example\n::1 localhost\n' \
  "$official" "$host" "$host" > "$TAVRO_BED_DIR/hosts"
mount --bind "$TAVRO_BED_DIR/hosts" /etc/hosts
cat /etc/ssl/certs/ca-certificates.crt "$TAVRO_BED_DIR/certs/ca.pem" > "$TAVRO_BED_DIR/ca-bundle.crt"
mount --bind "$TAVRO_BED_DIR/ca-bundle.crt" /etc/ssl/certs/ca-certificates.crt

# A wineserver of the same prefix running outside would own the sockets;
# a private socket directory guarantees a fresh one in here.
mkdir -p "/tmp/.wine-$(id -u)"
mount -t tmpfs tmpfs "/tmp/.wine-$(id -u)"
# A prefix of the bed's own: a layer over the tree's prefix takes whatever
# this bed writes (registry, files), so beds run side by side and none sees
# another's settings. Where no overlay can be mounted, a copy serves.
if [ -n "${TAVRO_WINE_RUN:-}" ]; then
  prefix=$("$TAVRO_WINE_RUN" --prefix)
  if [ -d "$prefix" ]; then
    mkdir -p "$TAVRO_BED_DIR/prefix/upper" "$TAVRO_BED_DIR/prefix/work"
    if ! mount -t overlay overlay -o "lowerdir=$prefix,upperdir=$TAVRO_BED_DIR/prefix/upper,workdir=$TAVRO_BED_DIR/prefix/work" \
         "$prefix" 2>/dev/null; then
      cp -a "$prefix" "$TAVRO_BED_DIR/prefix/copy"
      mount --bind "$TAVRO_BED_DIR/prefix/copy" "$prefix"
    fi
  fi
fi

mkdir -p "$TAVRO_BED_DIR/docroot" "$TAVRO_BED_DIR/small-disk"
mount -t tmpfs -o size=200k tmpfs "$TAVRO_BED_DIR/small-disk"
if [ "${TAVRO_BED_SITE:-}" != none ]; then
  python3 "$here/release_server.py" > "$TAVRO_BED_DIR/server.out" 2>&1 &
  for _ in $(seq 1 100); do
    [ -f "$TAVRO_BED_DIR/server.ready" ] && break
    sleep 0.1
  done
  if [ ! -f "$TAVRO_BED_DIR/server.ready" ]; then
    echo "release server did not start:" >&2
    cat "$TAVRO_BED_DIR/server.out" >&2
    exit 1
  fi
fi
if [ -n "${TAVRO_BED_LINK:-}" ]; then
  python3 "$here/link.py" 127.0.0.2:443 127.0.0.1:443 "${TAVRO_BED_LINK%,*}" "${TAVRO_BED_LINK#*,}" \
    "$TAVRO_BED_DIR/link.log" > "$TAVRO_BED_DIR/link.out" 2>&1 &
  for _ in $(seq 1 100); do
    [ -f "$TAVRO_BED_DIR/link.log.ready" ] && break
    sleep 0.1
  done
fi
if command -v tinyproxy >/dev/null; then
  mkdir -p "$TAVRO_BED_DIR/pac"
  for port in 3128 3129; do
    log=$TAVRO_BED_DIR/proxy.log
    auth=
    if [ $port = 3129 ]; then log=$TAVRO_BED_DIR/proxy-auth.log; auth='BasicAuth tavro secret'; fi
    printf '%s\n' "Port $port" "Listen 127.0.0.1" "Timeout 60" "MaxClients 20" "Allow 127.0.0.1" \
      "ConnectPort 443" "LogFile \"$log\"" "LogLevel Info" "PidFile \"$TAVRO_BED_DIR/proxy-$port.pid\"" \
      "$auth" > "$TAVRO_BED_DIR/proxy-$port.conf"
    : > "$log"
    tinyproxy -d -c "$TAVRO_BED_DIR/proxy-$port.conf" >/dev/null 2>&1 &
  done
  python3 -m http.server --bind 127.0.0.1 --directory "$TAVRO_BED_DIR/pac" 8080 >/dev/null 2>&1 &
  # A script server that takes connections and never answers; it writes a
  # line to silent-script.log for each one.
  python3 -c 'import socket, sys, time
s = socket.socket(); s.bind(("127.0.0.1", 8081)); s.listen(64)
held = []
while True:
    held.append(s.accept()[0])
    with open(sys.argv[1], "a") as log:
        log.write("connection\n")' "$TAVRO_BED_DIR/silent-script.log" &
  for port in 3128 3129 8080 8081; do
    for _ in $(seq 1 100); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
      sleep 0.05
    done
  done
fi
if [ -n "${TAVRO_WINE_RUN:-}" ]; then "$TAVRO_WINE_RUN" --start-server; fi
status=0
"$@" || status=$?
# The bed's wineserver ends with it (its layer of the prefix goes too).
if [ -n "${TAVRO_WINE_RUN:-}" ]; then
  "$TAVRO_WINE_RUN" --kill >/dev/null 2>&1 || true
  "$TAVRO_WINE_RUN" --wait-server || true
fi
exit $status
