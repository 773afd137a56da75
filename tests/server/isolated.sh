#!/bin/sh
# Runs a command (the server under test) in a network and mount namespace of its own: loopback
# up, a name server on 127.0.0.53 that takes queries and never answers, and a listener on
# 127.0.0.1:9998 that writes the arrival time of every piece it receives to ARRIVALS.
# Usage: isolated.sh ARRIVALS COMMAND [ARG...]
arrivals=$1
shift
exec unshare -n -m sh -c '
  arrivals=$1; shift
  ip link set lo up || exit 1
  conf=$(mktemp)
  echo "nameserver 127.0.0.53" > "$conf"
  mount --bind "$conf" /etc/resolv.conf || exit 1
  rm -f "$arrivals"
  python3 - "$arrivals" <<"PY" &
import socket, sys, time, threading
dns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
dns.bind(("127.0.0.53", 53))
def swallow():
    while True:
        dns.recvfrom(4096)
threading.Thread(target=swallow, daemon=True).start()
ls = socket.socket()
ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
ls.bind(("127.0.0.1", 9998))
ls.listen(10)
with open(sys.argv[1], "w", buffering=1) as out:
    while True:
        c, _ = ls.accept()
        while True:
            b = c.recv(65536)
            if not b:
                break
            out.write("%.3f\n" % time.monotonic())
            time.sleep(0.01)
        c.close()
PY
  for _ in $(seq 100); do [ -e "$arrivals" ] && break; sleep 0.05; done
  exec "$@"
' sh "$arrivals" "$@"
