#!/usr/bin/env bash
# The driver against an NBD stack, in one run on loopback, on the same cores:
#   driver: pyxbench (the library through its C interface, 4 drivers) against
#           the simulated cluster (pyxsim) in its own process;
#   NBD:    fio's nbd engine against nbdkit's memory plugin.
# 4 KiB random reads and random writes at queue depth 1 and 32 with 1 and 4
# client threads; both disks are filled first so that reads copy real data.
# Prints one table, the ratios and the targets; with TARGETS_FILE set, also
# appends "name|figure|met or missed" lines to it.
#
#   BUILD_DIR   optimised build with pyxbench, pyxsim, pyxsimctl (build-release)
#   RUNTIME     seconds per workload (10)
#   SIZE        bytes of each disk used (512m)
#   BENCH_CPUS  optional CPU list both stacks are pinned to (taskset -c)
#   BENCH_HOST_CPUS, BENCH_LIB_CPUS, BENCH_SIM_CPUS  optional CPU lists that
#               keep the parts apart instead: the host's threads (pyxbench's
#               jobs), the library's threads, and the servers (pyxsim,
#               nbdkit). fio, which is both host and client library, gets
#               the host's and the library's CPUs together. Either all three
#               or none; for example 0-1, 2-4 and 5-7 on 8 cores.
#   SIM_ARGS    extra pyxsim options, for example "--busy-poll" (block-server
#               loops poll instead of sleeping; on an 8-core VM that costs
#               more than the wake-up it saves, so it is off by default)
#   RWS, QDS, THREADS  the workloads: kinds, queue depths and client thread
#               counts (randread randwrite / 1 32 / 1 4). JOBS is not read
#               here: scripts/bench.sh takes it for its build's jobs.
#
# CPU per I/O: for the driver both the whole pyxbench process (the library
# plus the host stand-in's submitting and polling threads) and the library's
# own threads alone ("pyx-event-*"); for NBD the whole fio process. The CPU
# target compares the library's threads with fio's process: in production
# the submitting and polling threads belong to the host, not the driver.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build-release}
RUNTIME=${RUNTIME:-10}
SIZE=${SIZE:-512m}
SIM_ARGS=${SIM_ARGS:-}
RWS=${RWS:-randread randwrite}
QDS=${QDS:-1 32}
THREADS=${THREADS:-1 4}
PYXBENCH=$BUILD_DIR/src/pyxbench/pyxbench
PYXSIM=$BUILD_DIR/sim/pyxsim

for tool in fio nbdkit "$PYXBENCH" "$PYXSIM"; do
  if ! command -v "$tool" >/dev/null 2>&1 && [ ! -x "$tool" ]; then
    echo "driver_vs_nbd: $tool is missing (scripts/setup.sh installs fio and nbdkit)" >&2
    exit 1
  fi
done
if ! fio --enghelp 2>/dev/null | grep -qw nbd; then
  echo "driver_vs_nbd: this fio has no nbd engine" >&2
  exit 1
fi

PIN=()
if [ -n "${BENCH_CPUS:-}" ]; then PIN=(taskset -c "$BENCH_CPUS"); fi
SIM_PIN=("${PIN[@]}")
CLIENT_PIN=("${PIN[@]}")
PYX_PIN_ARGS=()
split=
if [ -n "${BENCH_HOST_CPUS:-}${BENCH_LIB_CPUS:-}${BENCH_SIM_CPUS:-}" ]; then
  if [ -z "${BENCH_HOST_CPUS:-}" ] || [ -z "${BENCH_LIB_CPUS:-}" ] || [ -z "${BENCH_SIM_CPUS:-}" ]; then
    echo "driver_vs_nbd: BENCH_HOST_CPUS, BENCH_LIB_CPUS and BENCH_SIM_CPUS go together" >&2
    exit 1
  fi
  SIM_PIN=(taskset -c "$BENCH_SIM_CPUS")
  CLIENT_PIN=(taskset -c "$BENCH_HOST_CPUS,$BENCH_LIB_CPUS")
  PYX_PIN_ARGS=(--host-cpus "$BENCH_HOST_CPUS" --lib-cpus "$BENCH_LIB_CPUS")
  split=", host threads on CPUs $BENCH_HOST_CPUS, library threads on $BENCH_LIB_CPUS, servers on $BENCH_SIM_CPUS (fio on $BENCH_HOST_CPUS,$BENCH_LIB_CPUS)"
fi

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  # A port nobody listens on now, below the ephemeral range: any outgoing
  # connection of the machine may take a port of that range before nbdkit
  # binds it.
  local p low=32768 rest
  read -r low rest </proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || low=32768
  if [ "$low" -le 11000 ]; then low=32768; fi
  for _ in $(seq 50); do
    p=$((10000 + RANDOM % (low - 10000)))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then echo "$p"; return; fi
  done
  echo 0
}

# Number after "key": in a one-line JSON object (first match).
json_num() { sed -n "s/.*\"$2\": *\([-0-9.e+]*\).*/\1/p" <<<"$1" | head -n1; }
# Number after "key": inside the object that follows "section":.
json_in() { sed -n "s/.*\"$2\": *{[^}]*\"$3\": *\([-0-9.e+]*\).*/\1/p" <<<"$1" | head -n1; }

cores=$(nproc)
echo "driver vs NBD on loopback: $cores cores${BENCH_CPUS:+, pinned to CPUs $BENCH_CPUS}$split," \
  "4 KiB random I/O, ${RUNTIME} s per workload, $SIZE per disk," \
  "pyxsim ${SIM_ARGS:-(no extra options)}, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# ---- the driver: one cluster for every workload, filled once.
sim_port_ini=$work/cluster.ini
"${SIM_PIN[@]}" "$PYXSIM" --ini "$sim_port_ini" --disk "bench:$SIZE" --bs 3 --threads 2 \
  $SIM_ARGS >"$work/pyxsim.out" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
  grep -q ready "$work/pyxsim.out" 2>/dev/null && [ -s "$sim_port_ini" ] && break
  sleep 0.1
done
if ! grep -q ready "$work/pyxsim.out"; then
  echo "driver_vs_nbd: the cluster did not start:" >&2
  cat "$work/pyxsim.out" >&2
  exit 1
fi

pyx() {
  "${CLIENT_PIN[@]}" "$PYXBENCH" --config "$sim_port_ini" --disk bench --drivers 4 --size "$SIZE" \
    --progress off --log-dir "$work/pyxbench" "${PYX_PIN_ARGS[@]}" "$@"
}
pyx --rw write --bs 256k --iodepth 8 --runtime 0 --prefill --json >/dev/null 2>"$work/prefill.err" || {
  echo "driver_vs_nbd: prefilling the driver's disk failed:" >&2
  cat "$work/prefill.err" >&2
  exit 1
}

# ---- NBD: nbdkit's memory plugin, filled once by fio.
# Until it listens: a busy machine may take seconds to start it, and a port
# taken between the pick and its bind ends it (then another port).
nbd_port=0
for _ in 1 2 3; do
  port=$(free_port)
  "${SIM_PIN[@]}" nbdkit --foreground --exit-with-parent --ipaddr 127.0.0.1 --port "$port" \
    memory "size=$SIZE" >"$work/nbdkit.out" 2>&1 &
  nbd_pid=$!
  pids+=("$nbd_pid")
  for _ in $(seq 600); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      nbd_port=$port
      break 2
    fi
    kill -0 "$nbd_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$nbd_pid" 2>/dev/null || true
done
if [ "$nbd_port" -eq 0 ]; then
  echo "driver_vs_nbd: nbdkit did not start:" >&2
  cat "$work/nbdkit.out" >&2
  exit 1
fi
nbd_fio() {
  "${CLIENT_PIN[@]}" fio --name=nbd --ioengine=nbd --uri="nbd://127.0.0.1:$nbd_port/" --thread \
    --size="$SIZE" --group_reporting --lat_percentiles=1 --output-format=json "$@"
}
nbd_fio --rw=write --bs=256k --iodepth=8 >/dev/null 2>"$work/nbd-prefill.err" || {
  echo "driver_vs_nbd: prefilling the NBD disk failed:" >&2
  cat "$work/nbd-prefill.err" >&2
  exit 1
}

# fio's JSON spreads one job group over many lines; take the numbers out of
# the "read" or "write" object of the first job.
fio_figures() {  # json-file direction -> "iops p50_us p99_us total_ios"
  awk -v dir="\"$2\"" '
    !inside && !done && $1 == dir && $3 == "{" { inside = 1; next }
    inside && $1 == "\"iops\"" && iops == "" { iops = $3 }
    inside && $1 == "\"total_ios\"" && ios == "" { ios = $3 }
    inside && $1 == "\"lat_ns\"" { inlat = 1 }
    inlat && $1 == "\"50.000000\"" && p50 == "" { p50 = $3 }
    inlat && $1 == "\"99.000000\"" && p99 == "" { p99 = $3; inside = 0; inlat = 0; done = 1 }
    END {
      gsub(/,/, "", iops); gsub(/,/, "", ios); gsub(/,/, "", p50); gsub(/,/, "", p99)
      printf "%s %.1f %.1f %s\n", iops, p50 / 1000, p99 / 1000, ios
    }' "$1"
}

rows=()
declare -A fig
run_pair() {  # rw qd jobs
  local rw=$1 qd=$2 jobs=$3 dir=read key out cpu_line user sys
  [ "$rw" = randwrite ] && dir=write
  key="$rw qd$qd j$jobs"

  out=$(pyx --rw "$rw" --bs 4k --iodepth "$qd" --numjobs "$jobs" --runtime "$RUNTIME" --json \
        2>>"$work/pyxbench.err") || true
  local d_iops d_p50 d_p99 d_cpu d_lib
  d_iops=$(json_num "$out" iops)
  d_p50=$(json_in "$out" lat_us p50)
  d_p99=$(json_in "$out" lat_us p99)
  d_cpu=$(json_num "$out" cpu_us_per_io)
  d_lib=$(json_num "$out" lib_cpu_us_per_io)

  # fio's CPU: what the fio process and its threads used, from the shell's
  # account of its children.
  cpu_line=$( { nbd_fio --rw="$rw" --bs=4k --iodepth="$qd" --numjobs="$jobs" --time_based \
                  --runtime="$RUNTIME" >"$work/fio.json" 2>>"$work/fio.err"; times; } | tail -n1)
  user=$(awk '{print $1}' <<<"$cpu_line")
  sys=$(awk '{print $2}' <<<"$cpu_line")
  local secs
  secs=$(awk -v u="$user" -v s="$sys" 'function t(x,  m) { m = x; sub(/m.*/, "", m); sub(/^[0-9]*m/, "", x); sub(/s$/, "", x); return m * 60 + x } BEGIN { printf "%.3f", t(u) + t(s) }')
  local f_iops f_p50 f_p99 f_ios f_cpu
  read -r f_iops f_p50 f_p99 f_ios < <(fio_figures "$work/fio.json" "$dir")
  f_cpu=$(awk -v c="$secs" -v n="$f_ios" 'BEGIN { if (n > 0) printf "%.2f", c / n * 1e6; else print "nan" }')

  fig["$key driver iops"]=$d_iops; fig["$key driver p50"]=$d_p50; fig["$key driver cpu"]=$d_cpu
  fig["$key driver lib"]=$d_lib
  fig["$key nbd iops"]=$f_iops; fig["$key nbd p50"]=$f_p50; fig["$key nbd cpu"]=$f_cpu
  rows+=("$(printf '%-22s %-12s %10.0f %9.1f %9.1f %12.2f %12.2f' "$key" driver "${d_iops:-0}" "${d_p50:-0}" "${d_p99:-0}" "${d_cpu:-0}" "${d_lib:-0}")")
  rows+=("$(printf '%-22s %-12s %10.0f %9.1f %9.1f %12.2f %12s' "$key" fio+nbdkit "${f_iops:-0}" "${f_p50:-0}" "${f_p99:-0}" "${f_cpu:-0}" -)")
}

for rw in $RWS; do
  for qd in $QDS; do
    for jobs in $THREADS; do
      echo "  running $rw qd$qd with $jobs thread(s)" >&2
      run_pair "$rw" "$qd" "$jobs"
    done
  done
done

echo
echo "CPU us/IO: process = the whole client process (pyxbench: the library and the host's"
echo "threads; fio: fio); library = the driver library's own threads (pyx-event-*)"
printf '%-22s %-12s %10s %9s %9s %12s %12s\n' workload stack IOPS "p50 us" "p99 us" \
  "CPU process" "CPU library"
for r in "${rows[@]}"; do echo "$r"; done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0 && a != "") printf "%.2f", a / b; else print "nan" }'; }
met() {  # value op target
  awk -v v="$1" -v op="$2" -v t="$3" 'BEGIN { if (v == "nan") { print "missed"; exit }
    ok = (op == ">=") ? (v + 0 >= t) : (v + 0 <= t); print ok ? "met" : "missed" }'
}
echo
echo "ratios, driver / fio+nbdkit (CPU: library threads / fio process, and in brackets"
echo "the whole pyxbench process / fio process):"
targets=()
for rw in $RWS; do
  for jobs in $THREADS; do
    for qd in $QDS; do
      key="$rw qd$qd j$jobs"
      r_iops=$(ratio "${fig[$key driver iops]}" "${fig[$key nbd iops]}")
      r_p50=$(ratio "${fig[$key driver p50]}" "${fig[$key nbd p50]}")
      r_cpu=$(ratio "${fig[$key driver cpu]}" "${fig[$key nbd cpu]}")
      r_lib=$(ratio "${fig[$key driver lib]}" "${fig[$key nbd cpu]}")
      printf '  %-22s IOPS %6sx   p50 %6sx   CPU per I/O %6sx (process %sx)\n' "$key" "$r_iops" \
        "$r_p50" "$r_lib" "$r_cpu"
      if [ "$qd" = 32 ] && [ "$jobs" = 4 ]; then
        targets+=("driver/nbd $rw QD32 4 threads IOPS|${r_iops}x (>= 2x)|$(met "$r_iops" ">=" 2)")
        targets+=("driver/nbd $rw QD32 4 threads CPU/IO (library)|${r_lib}x (<= 0.75x)|$(met "$r_lib" "<=" 0.75)")
      fi
      if [ "$qd" = 1 ]; then
        targets+=("driver/nbd $rw QD1 $jobs thread(s) p50|${fig[$key driver p50]} vs ${fig[$key nbd p50]} us (<= 1x)|$(met "$r_p50" "<=" 1)")
      fi
    done
  done
done
echo
printf '%-54s %-28s %s\n' target figure result
for t in "${targets[@]}"; do
  IFS='|' read -r name figure result <<<"$t"
  printf '%-54s %-28s %s\n' "$name" "$figure" "$result"
done
if [ -n "${TARGETS_FILE:-}" ]; then
  for t in "${targets[@]}"; do echo "$t" >>"$TARGETS_FILE"; done
fi
