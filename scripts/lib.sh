# Helpers shared by the scripts (scripts/demo, scripts/bench, scripts/soak) and the benchmark
# wrappers under bench/. Sourced, never run: `. "$here/scripts/lib.sh"` after setting `prog`
# (the script's name in messages) and `here` (the source tree).

# need OPTION "$@": an option that takes a value has one.
need() { [ $# -ge 2 ] || { echo "$prog: $1 needs a value (see --help)" >&2; exit 2; }; }

# The script's help: its leading comment block, without the first line.
usage() { awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; }

# Microseconds since the epoch.
usnow() { echo "${EPOCHREALTIME/[.,]/}"; }

# sleepus N: sleeps N microseconds; nothing when N <= 0. Pacing loops sleep to absolute
# deadlines with it (reading ${EPOCHREALTIME} in place: a command substitution would fork).
sleepus() { [ "$1" -le 0 ] || sleep "$(printf '%d.%06d' $(($1 / 1000000)) $(($1 % 1000000)))"; }

# waitfor TENTHS COMMAND...: runs COMMAND every 100 ms until it succeeds, at most TENTHS
# pauses; fails when it never succeeded.
waitfor() {
  local limit=$1 n=0
  shift
  until "$@"; do
    [ $n -lt "$limit" ] || return 1
    sleep 0.1
    n=$((n + 1))
  done
}

# A zombie is gone too: a process that is no child of ours, where nothing reaps orphans,
# would still answer kill -0.
alive() { kill -0 "$1" 2>/dev/null && ! grep -q '^[0-9]* ([^)]*) Z' "/proc/$1/stat" 2>/dev/null; }
gone() { ! alive "$1"; }

# True while something listens on TCP ADDR:PORT (read from /proc, no tools needed).
listening() {
  local a b c d hex
  IFS=. read -r a b c d <<< "$1"
  hex=$(printf '%02X%02X%02X%02X:%04X' "$d" "$c" "$b" "$a" "$2")
  awk -v a="$hex" '$2 == a && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp
}

# cputime PID...: nanoseconds of CPU of every thread of the processes, the scheduler's own
# count where the kernel has it, else user+system clock ticks.
cputime() {
  local p t sum=0 tck
  for p in "$@"; do
    if [ -r "/proc/$p/schedstat" ]; then
      for t in /proc/"$p"/task/*/schedstat; do
        [ -r "$t" ] && sum=$((sum + $(cut -d' ' -f1 "$t")))
      done
    else
      tck=$(getconf CLK_TCK)
      sum=$((sum + $(awk -v k="$tck" '{printf "%.0f", ($14 + $15) * 1e9 / k}' "/proc/$p/stat")))
    fi
  done
  echo $sum
}

# peakrss PID...: the processes' peak resident sizes (VmHWM) added up, in KiB; rss PID: the
# resident size now (VmRSS), in KiB.
peakrss() {
  local p sum=0
  for p in "$@"; do sum=$((sum + $(awk '/^VmHWM:/ {print $2}' "/proc/$p/status"))); done
  echo $sum
}
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# benchconfigure BUILD: configures BUILD (release, with the benchmarks) when it is not yet, or
# was configured without the benchmarks.
benchconfigure() {
  grep -q '^KPX_BUILD_BENCH:[A-Z]*=ON$' "$1/CMakeCache.txt" 2>/dev/null ||
    cmake -S "$here" -B "$1" -DCMAKE_BUILD_TYPE=Release -DKPX_BUILD_BENCH=ON >/dev/null
}
