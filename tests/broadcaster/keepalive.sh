#!/usr/bin/env bash
# A relay whose upstream host vanishes without closing (every packet to and from it dropped
# from one moment on) notices it through keepalive, prints the upstream-lost boxes and waits
# for the next upstream. Runs in a network namespace of its own; needs root and iptables.
set -u
bin=$(cd "${1:?usage: keepalive.sh BINDIR}" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for a network namespace"; exit 77; }
command -v iptables >/dev/null 2>&1 || { echo "SKIP: iptables is not installed"; exit 77; }
unshare -n true 2>/dev/null || { echo "SKIP: cannot make a network namespace here"; exit 77; }

exec unshare -n bash -s "$bin" <<'INNER'
set -u
bin=$1
ip link set lo up
tmp=$(mktemp -d)
trap 'kill -KILL $(jobs -p) 2>/dev/null; wait; rm -rf "$tmp"' EXIT
iptables -A INPUT -i lo -p tcp --dport 9 -j ACCEPT 2>/dev/null || { echo "SKIP: iptables does not work here"; exit 77; }
printf 'commandfile = %s/cmd\nrepdir = %s\n' "$tmp" "$tmp" > "$tmp/kpx.conf"
(cd "$tmp" && exec "$bin/broadcaster" 127.0.0.1 2> "$tmp/err" > /dev/null) &
for _ in $(seq 50); do grep -q 'connect to server!' "$tmp/err" 2>/dev/null && break; sleep 0.1; done

# The upstream: two packets, then the connection stays open and quiet.
connected=
for _ in $(seq 50); do
  if exec 3<>/dev/tcp/127.0.0.1/9998; then connected=1; break; fi 2>/dev/null
  sleep 0.1
done
[ -n "$connected" ] || { echo "FAIL: cannot connect to the relay"; cat "$tmp/err"; exit 1; }
head -c 660 /dev/zero >&3
for _ in $(seq 50); do grep -q 'Waiting for connections' "$tmp/err" && break; sleep 0.1; done
grep -q 'Waiting for connections' "$tmp/err" || { echo "FAIL: relay did not take the upstream"; cat "$tmp/err"; exit 1; }

# From now on the upstream host is gone: nothing reaches it, nothing comes from it.
iptables -A INPUT -i lo -p tcp --dport 9998 -j DROP
iptables -A INPUT -i lo -p tcp --sport 9998 -j DROP
start=$(date +%s)
while ! grep -q 'Broadcaster shutdown.' "$tmp/err"; do
  if [ $(( $(date +%s) - start )) -gt 70 ]; then
    echo "FAIL: the vanished upstream was not noticed within 70 s"; cat "$tmp/err"; exit 1
  fi
  sleep 0.5
done
took=$(( $(date +%s) - start ))
grep -q '\*\* All clients disconnected!!!! \*\*' "$tmp/err" || { echo "FAIL: no upstream-lost box"; cat "$tmp/err"; exit 1; }
[ "$(grep -c 'connect to server!' "$tmp/err")" -eq 2 ] || { echo "FAIL: relay is not waiting again"; cat "$tmp/err"; exit 1; }
echo "vanished upstream noticed after ${took} s"
[ "$took" -ge 20 ] || { echo "FAIL: noticed too early for keepalive (${took} s)"; exit 1; }
INNER
