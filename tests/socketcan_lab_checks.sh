#!/bin/sh
# velk_bridge against programs velk did not write, in the SocketCAN lab's
# guest (scripts/socketcan-lab): can-utils, python-can's socketcan bus, the
# kernel's ISO-TP and tshark, on an emulated adapter whose CAN1 and CAN2
# share one bus (velk_sim --loopback); velk_isotp against the kernel's
# ISO-TP through the bridge, and velk_uds against a UDS server on the
# kernel's ISO-TP sockets. One boot runs every check.
#
#   tests/socketcan_lab_checks.sh BUILD_DIR [FRAMES [--figures-only]]
#
# FRAMES (default 3000) is the length of the flat-out runs and of the
# emulator's stream. Prints one "ok"/"FAILED" line per check and, at the
# end, the figures of the flat-out run and of the latency run against a
# bare vcan of the same boot, also as scripts/bench's "ROW|" lines; exit
# status 0 when every check passed. --figures-only (scripts/bench) runs
# the flat-out and latency runs alone.
set -u
build=$(cd "${1:?BUILD_DIR}" && pwd)
frames=${2:-3000}
checks=1
[ "${3:-}" = --figures-only ] && checks=0
src=$(cd "$(dirname "$0")/.." && pwd)
sim=$build/sim/velk_sim
bridge=$build/tools/velk_bridge
t=$(mktemp -d /tmp/lab-checks.XXXXXX)
tty=$t/ttyVELK
failed=0
sim_pid=""
bridge_pid=""

ok() { echo "ok: $*"; }
bad() { echo "FAILED: $*"; failed=1; }

# Waits up to $1 seconds (guest time runs slow under emulation) for the
# command that follows to succeed.
wait_for() {
  limit=$1
  shift
  end=$(( $(date +%s) + limit ))
  until "$@" 2>/dev/null; do
    [ "$(date +%s)" -lt "$end" ] || return 1
    sleep 0.1
  done
}

is_up() { ip link show "$1" 2>/dev/null | grep -q '[<,]UP[,>]'; }
is_down() { ip link show "$1" 2>/dev/null | grep -qv '[<,]UP[,>]'; }
grows() { [ "$(wc -l < "$1")" -ge "$2" ]; }

start_sim() {
  "$sim" --loopback --link "$tty" "$@" > "$t/sim.out" 2>&1 &
  sim_pid=$!
  wait_for 30 test -e "$tty"
}

stop_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  sim_pid=""
}

connected() { grep -q " is on " "$t/bridge.log" || ! kill -0 "$bridge_pid"; }

# Starts the bridge (its log in bridge.log) and waits until it has the
# adapter. A reply later than the library's 150 ms wait fails the connect
# on a loaded emulated machine: the bridge ends then, and is started again.
start_bridge() {
  for attempt in 1 2 3; do
    "$bridge" "$@" "$tty" > "$t/bridge.log" 2>&1 &
    bridge_pid=$!
    wait_for 60 connected
    if grep -q " is on " "$t/bridge.log"; then
      wait_for 60 is_up can0 && wait_for 60 is_up can1
      return
    fi
    kill -0 "$bridge_pid" 2>/dev/null && return 1
    echo "velk_bridge did not connect (try $attempt): $(cat "$t/bridge.log")"
  done
  return 1
}

stop_bridge() {
  [ -n "$bridge_pid" ] && kill -TERM "$bridge_pid" 2>/dev/null
  wait "$bridge_pid" 2>/dev/null
  rc=$?
  bridge_pid=""
  return $rc
}

# The frames of a candump -L file without their times and interfaces.
frames_of() { sed 's/^([0-9.]*) [^ ]* //' "$1"; }

# candump on an interface into a file, started when it is reading.
dump() {
  candump -L "$@" > "$t/dump.$1" 2>&1 &
  eval "dump_$1=\$!"
}

cleanup() {
  [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null
  stop_sim
  rm -rf "$t"
}
trap cleanup EXIT

# ---- every frame kind, both ways, byte-exact ----
start_sim || bad "velk_sim did not start"
if ! start_bridge -b 1M -d 2M; then
  bad "velk_bridge did not bring can0 and can1 up"
  cat "$t/bridge.log"
  exit 1
fi
ok "velk_bridge brings up can0 and can1 (mtu $(cat /sys/class/net/can0/mtu))"

if [ "$checks" -eq 1 ]; then
kinds="123#DEADBEEF 7FF#0011223344556677 000# 1ABCDEF0#C0FFEE 00000001#01 123#R 1F334455#R
123##0112233 321##1000102030405060708090A0B0C0D0E0F 1ABCDEF0##3DEADBEEFDEADBEEFDEADBEEFDEADBEEFDEADBEEFDEADBEEF
7E0##20011223344556677889900112233445566778899001122334455667788990011223344556677889900112233445566778899001122334455667788990011"
for way in "can0 can1" "can1 can0"; do
  set -- $way
  candump -L "$1" > "$t/sent" 2>&1 & p1=$!
  candump -L "$2" > "$t/got" 2>&1 & p2=$!
  sleep 0.5  # candump has no ready signal; the count check below catches a late start
  n=0
  for f in $kinds; do
    cansend "$1" "$f" || bad "cansend $1 $f"
    n=$((n + 1))
  done
  wait_for 30 grows "$t/got" "$n"
  kill "$p1" "$p2"; wait "$p1" "$p2" 2>/dev/null
  if [ "$(frames_of "$t/sent")" = "$(frames_of "$t/got")" ] && [ "$(wc -l < "$t/got")" -eq "$n" ]; then
    ok "cansend $1 -> adapter -> candump $2: $n frames of every kind, byte-exact"
  else
    bad "cansend $1 -> candump $2 differ:"; diff "$t/sent" "$t/got" | head -20
  fi
done

# ---- python-can's socketcan bus, back to back ----
if python3 "$src/tests/socketcan_lab_python.py" can0 can1; then
  ok "python-can socketcan: can0 and can1 back to back"
else
  bad "python-can socketcan back to back"
fi

# ---- the kernel's ISO-TP, 4095-byte messages both ways ----
python3 -c 'import random; r = random.Random(7); print(" ".join("%02X" % r.randrange(256) for _ in range(4095)))' > "$t/pdu"
for way in "can0 can1" "can1 can0"; do
  set -- $way
  timeout 120 isotprecv -s 7E8 -d 7E0 "$2" > "$t/pdu.got" &
  p=$!
  # Sent before the receiver listens, the first frame would go unanswered.
  wait_for 30 grep -qi "^ *$2 *0*7e0 " /proc/net/can/rcvlist_sff || sleep 1
  timeout 120 isotpsend -s 7E0 -d 7E8 "$1" < "$t/pdu"
  wait "$p"
  if [ "$(tr -d ' \n' < "$t/pdu")" = "$(tr -d ' \n' < "$t/pdu.got")" ]; then
    ok "ISO-TP $1 -> $2: 4095 bytes with flow control through the adapter"
  else
    bad "ISO-TP $1 -> $2: $(wc -c < "$t/pdu.got") characters came, not the message"
  fi
done

# ---- tshark -i can0 ----
tshark -i can0 -c 3 -l -T fields -e can.id -e data.data > "$t/tshark" 2> "$t/tshark.err" &
p=$!
if wait_for 120 grep -q "File: " "$t/tshark.err"; then
  cansend can1 123#C0FFEE
  cansend can1 12345678#0102
  cansend can1 456#
  wait_for 60 grows "$t/tshark" 3
fi
kill "$p" 2>/dev/null; wait "$p" 2>/dev/null
# tshark gives identifiers in decimal.
if [ "$(tr '\t\n' ' ;' < "$t/tshark")" = "291 c0ffee;305419896 0102;1110 ;" ]; then
  ok "tshark -i can0 captured what cansend sent on can1, through the adapter"
else
  bad "tshark -i can0 captured: $(cat "$t/tshark" "$t/tshark.err" | tr '\t\n' ' ;')"
fi

fi

# ---- flat out: cangen -g 0 to candump, through the adapter ----
# The bare vcan of the same boot is the baseline.
ip link add vbase type vcan && ip link set vbase mtu 72 up
rate() {  # FRAMES SENDIF RECVIF: frames/s from the first to the last frame candump saw
  candump -L -r 16777216 "$3" > "$t/flat.got" 2>&1 & pd=$!
  candump -L -r 16777216 "$2" > "$t/flat.sent" 2>&1 & ps=$!
  sleep 0.5
  cangen "$2" -g 0 -m -I i -L r -D i -n "$1"
  wait_for 600 grows "$t/flat.got" "$1"
  kill "$pd" "$ps"; wait "$pd" "$ps" 2>/dev/null
  python3 -c '
import sys
t = [float(l.split()[0].strip("()")) for l in open(sys.argv[1])]
print(int((len(t) - 1) / (t[-1] - t[0])) if len(t) > 1 and t[-1] > t[0] else 0)' "$t/flat.got"
}
base_rate=$(rate "$frames" vbase vbase)
bridge_rate=$(rate "$frames" can0 can1)
if [ "$(frames_of "$t/flat.sent")" = "$(frames_of "$t/flat.got")" ]; then
  ok "cangen -g 0 -m: $frames frames can0 -> can1, 0 lost, in order"
else
  bad "cangen -g 0: $(wc -l < "$t/flat.sent") sent, $(wc -l < "$t/flat.got") came or out of order"
fi

# ---- latency, against the bare vcan ----
samples=$(( frames / 10 < 200 ? 200 : frames / 10 ))
python3 "$src/tests/socketcan_lab_python.py" --latency "$samples" vbase vbase can0 can1 > "$t/latency" ||
  bad "latency run"

stop_bridge || bad "velk_bridge did not stop cleanly on SIGTERM"
stop_sim
if ip link show can0 >/dev/null 2>&1; then bad "can0 stays after the bridge ended"; else
  ok "SIGTERM: the bridge ends with status 0 and removes the interfaces it made"; fi

if [ "$checks" -eq 1 ]; then
# ---- velk_isotp against the kernel's ISO-TP ----
# Two emulated adapters on one bus: velk_isotp on the first one's CAN1, the
# bridge on the second, whose CAN2 is can1. The same messages with the same
# options between the kernel's isotpsend and isotprecv on a bare vcan, run
# at the same time, give the frames that must be on the bus, byte for byte.
isotp=$build/tools/velk_isotp
isotp_start=$(date +%s)
tty0=$t/ttyVELK0
"$sim" -A 2 --bus 0.CAN1=1.CAN2 -v --link "$tty0" --link "$tty" > "$t/sim.out" 2>&1 &
sim_pid=$!
wait_for 30 test -e "$tty"
ip link add vref type vcan && ip link set vref mtu 72 up
cp "$t/pdu" "$t/m4095"
printf '22 F1 90\n' > "$t/m3"
head -c 599 "$t/m4095" > "$t/m200"
head -c 1499 "$t/m4095" > "$t/m500"
listening() { grep -qi "^ *$1 *0*$2 " /proc/net/can/rcvlist_sff; }
# The kernel's isotprecv on an interface, one message after another, into
# FILE: IF FILE RECV_OPTS; then the sends; then finish_recv.
start_recv() {
  timeout 60 isotprecv $3 -s 7E8 -d 7E0 "$1" >> "$2" & pr=$!
  wait_for 30 listening "$1" 7e0
}
# The frames of a kernel-to-kernel run on vref into ref.frames: RECV_OPTS
# SEND_OPTS MSG...
reference() {
  ropts=$1; sopts=$2; shift 2
  candump -L vref > "$t/ref" 2>&1 & pd=$!
  sleep 0.2
  for m in "$@"; do
    start_recv vref "$t/ref.pdu" "$ropts"
    isotpsend $sopts -s 7E0 -d 7E8 vref < "$t/$m"
    wait "$pr"
  done
  sleep 0.2
  kill "$pd"; wait "$pd" 2>/dev/null
  frames_of "$t/ref" > "$t/ref.frames"
}
# Mean gap of the frames on 7E0 after the first in a candump -L file,
# microseconds: the consecutive frames' spacing of one message.
cf_gap() {
  awk '$3 ~ /^7E0#/ { gsub(/[()]/, "", $1); n++; if (n == 2) a = $1; b = $1 }
       END { print (n > 2 ? int((b - a) / (n - 2) * 1e6) : 0) }' "$1"
}
# Ends a run on can1 (candump $pd, the reference $ref) and judges it: what
# arrived is the messages, the frames are the reference's, the consecutive
# frames at least GAP_US apart. LABEL GAP_US MSG...
judge() {
  label=$1; gap=$2; shift 2
  wait "$ref"
  wait_for 10 grows "$t/bus" "$(wc -l < "$t/ref.frames")"
  kill "$pd"; wait "$pd" 2>/dev/null
  frames_of "$t/bus" > "$t/bus.frames"
  spaced=$(cf_gap "$t/bus")
  if [ "$(cd "$t" && cat "$@" | tr -d ' \n')" != "$(tr -d ' \n' < "$t/got.pdu")" ]; then
    bad "$label: $(wc -c < "$t/got.pdu") characters came, not the message"
  elif ! cmp -s "$t/ref.frames" "$t/bus.frames"; then
    bad "$label: frames differ from the kernel's"; diff "$t/ref.frames" "$t/bus.frames" | head -6
  elif [ "$spaced" -lt "$gap" ]; then
    bad "$label: consecutive frames $spaced us apart, under $gap"
  else
    ok "$label: $(wc -l < "$t/bus.frames") frames as the kernel's$([ "$gap" -gt 0 ] &&
      echo ", consecutive frames $spaced us apart on average")"
  fi
}
# velk_isotp send -> isotprecv: NAME MSG RECV_OPTS VELK_OPTS KERNEL_SEND_OPTS [MIN_GAP_US]
velk_to_kernel() {
  rm -f "$t/ref.pdu" "$t/got.pdu"
  reference "$3" "$5" "$2" & ref=$!
  candump -L can1 > "$t/bus" 2>&1 & pd=$!
  start_recv can1 "$t/got.pdu" "$3"
  timeout 60 "$isotp" send $4 -s 7E0 -r 7E8 "$tty0" CAN1 < "$t/$2" || bad "velk_isotp send ($1): status $?"
  wait "$pr"
  judge "velk_isotp send -> isotprecv ($1)" "${6:-0}" "$2"
}
starts() { [ "$(grep -c 'port 0 < 61 01' "$t/sim.out")" -gt "$1" ]; }
# isotpsend -> velk_isotp recv: NAME "MSG..." KERNEL_RECV_OPTS VELK_OPTS KERNEL_SEND_OPTS [MIN_GAP_US]
kernel_to_velk() {
  rm -f "$t/ref.pdu" "$t/got.pdu"
  reference "$3" "$5" $2 & ref=$!
  candump -L can1 > "$t/bus" 2>&1 & pd=$!
  n=$(grep -c 'port 0 < 61 01' "$t/sim.out")
  timeout 60 "$isotp" recv -n $(echo $2 | wc -w) -T 50 $4 -s 7E8 -r 7E0 "$tty0" CAN1 > "$t/got.pdu" & pv=$!
  wait_for 30 starts "$n"
  sleep 0.2
  for m in $2; do isotpsend $5 -s 7E0 -d 7E8 can1 < "$t/$m"; done
  wait "$pv" || bad "velk_isotp recv ($1): status $?"
  judge "isotpsend -> velk_isotp recv ($1)" "${6:-0}" $2
}
if start_bridge -b 1M -d 2M; then
  velk_to_kernel "single frame, extended addressing, padding" m3 "-x 10:F1 -p AA" "-x F1:10 -p AA" "-x F1:10 -p AA"
  velk_to_kernel "4095 bytes, block size 0, STmin 0" m4095 "" "" ""
  velk_to_kernel "block size 8, STmin 5 ms" m200 "-b 8 -m 05" "" "" 4500
  velk_to_kernel "CAN FD of 64 bytes, block size 1, STmin 500 us" m500 "-L 72:64:0 -b 1 -m F5" "-l 64 -d 2M" \
    "-L 72:64:0" 450
  kernel_to_velk "a single frame, then 4095 bytes" "m3 m4095" "" "" ""
  kernel_to_velk "block size 8, STmin 5 ms, padding, extended addressing" m200 "-b 8 -m 05 -p 55 -x 10:F1" \
    "-S 8 -m 5 -p 55 -x 10:F1" "-p 55 -x F1:10" 4500
  kernel_to_velk "CAN FD of 64 bytes, block size 1, STmin 500 us" m500 "-L 72:64:0 -b 1 -m F5" \
    "-l 64 -S 1 -m 500us -d 2M" "-L 72:64:0" 450
  # velk_uds against a UDS server of Python's own on the kernel's ISO-TP.
  # A frame through the bridge in the emulated guest takes up to 100 ms
  # (the latency figure below), so P2 is a second here.
  python3 "$src/tests/socketcan_lab_python.py" --uds-server 4 can1 > "$t/uds.server" 2>&1 & us=$!
  wait_for 30 listening can1 7e0
  uds_check() {
    want_status=$1; want=$2; shift 2
    got=$(timeout 60 "$build/tools/velk_uds" -o 1000 -s 7E0 -r 7E8 "$tty0" CAN1 "$@" 2>&1); st=$?
    if [ "$st" -eq "$want_status" ] && [ "$got" = "$want" ]; then ok "velk_uds $* against Python's ISO-TP server: $got"
    else bad "velk_uds $*: status $st, '$got' (expected $want_status, '$want')"; fi
  }
  uds_check 0 "F190: 56 45 4C 4B 4C 41 42 30 30 30 30 30 30 30 30 30 31" read F190
  uds_check 0 "F18C: 00 00 12 34" read F18C
  uds_check 1 "velk_uds: negative response 0x31 requestOutOfRange" read 1234
  uds_check 0 "session 03 (P2 50 ms, P2* 5000 ms)" session extended
  wait "$us" || bad "the UDS server: status $? ($(tail -1 "$t/uds.server"))"
  stop_bridge
else
  bad "velk_bridge did not bring can0 and can1 up for the ISO-TP checks"
fi
stop_sim
ip link del vref
isotp_seconds=$(( $(date +%s) - isotp_start ))

# ---- the emulator's stream at its full rate ----
# On interfaces that exist before the bridge starts (it uses them as they
# are and leaves them), so that candump reads before the stream begins.
for i in can0 can1; do ip link add $i type vcan && ip link set $i mtu 72 up; done
start_sim --stream "$frames" -S 3
# "#FFFFFFFF": every error class too.
candump -L -r 16777216 can0,0:0,#FFFFFFFF > "$t/s0" 2>&1 & p0=$!
candump -L -r 16777216 can1,0:0,#FFFFFFFF > "$t/s1" 2>&1 & p1=$!
sleep 0.5
start_bridge -b 1M -d 2M -e -N can0,can1
# The stream is over when the counts stop growing.
last=-1
while [ "$(cat "$t/s0" "$t/s1" | wc -l)" != "$last" ]; do
  last=$(cat "$t/s0" "$t/s1" | wc -l)
  sleep 2
done
stop_bridge
kill "$p0" "$p1"; wait "$p0" "$p1" 2>/dev/null
stop_sim
sum() { sed -n "s/.* \([0-9]*\) $1.*/\1/p" "$t/bridge.log" | awk '{s += $1} END {print s + 0}'; }
got=$(cat "$t/s0" "$t/s1" | wc -l)
said=$(sum received)
errors=$(sum "error frames")
lost=$(sum lost)
if [ "$got" -gt 0 ] && [ "$got" -eq "$((said + errors))" ] && [ "$lost" -eq 0 ]; then
  ok "velk_sim --stream $frames at full rate: candump saw all $said frames and $errors error frames, 0 lost"
else
  bad "stream: candump saw $got, the bridge received $said and made $errors error frames, lost $lost"
  cat "$t/bridge.log"; head -3 "$t/s0"
fi
if grep -q '^([0-9.]*) can[01] 2000[0-9A-F]*#' "$t/s0" "$t/s1"; then
  ok "the adapter's error reports reach candump as error frames: $(grep -h '2000[0-9A-F]*#' "$t/s0" | head -1)"
else
  bad "no error frame reached candump"
fi
if is_up can0 && is_up can1; then
  ok "vcan interfaces that were there before the bridge stay, up, after it"
else
  bad "the bridge removed can0, which it had not made"
fi
ip link del can0; ip link del can1

# ---- unplug and replug while candump runs ----
start_sim
start_bridge -b 1M
candump -L any > "$t/any" 2>&1 & pa=$!
sleep 0.5
cansend can0 111#01
wait_for 30 grows "$t/any" 2
stop_sim
if wait_for 60 is_down can0 && wait_for 60 grep -q "has gone" "$t/bridge.log"; then
  ok "unplugged: the bridge says so and takes can0 and can1 down"
else
  bad "unplugged: can0 is $(ip -br link show can0)"
fi
start_sim
if wait_for 120 is_up can0 && wait_for 60 is_up can1; then
  cansend can0 222#02
  if wait_for 30 grep -q "can1 222#02" "$t/any"; then
    ok "replugged: can0 and can1 up again, candump any saw frames before and after"
  else
    bad "replugged: the frame after the replug did not come: $(cat "$t/any")"
  fi
else
  bad "replugged: can0 did not come up again"; cat "$t/bridge.log"
fi
kill "$pa"; wait "$pa" 2>/dev/null
stop_bridge
stop_sim

# -k: removed while the adapter is away, made again when it is back.
absent() { ! ip link show "$1" > /dev/null 2>&1; }
start_sim
start_bridge -b 1M -k
stop_sim
if wait_for 60 absent can0 && wait_for 10 absent can1 && start_sim && wait_for 120 is_up can0; then
  ok "-k: can0 and can1 removed while the adapter is unplugged, made again when it is back"
else
  bad "-k: can0 is $(ip -br link show can0 2>&1)"; cat "$t/bridge.log"
fi
stop_bridge
stop_sim

fi

# ---- figures ----
echo "figures: flat out, cangen -g 0 -m to candump, $frames frames: bare vcan $base_rate frames/s," \
     "through velk_bridge and the emulated adapter $bridge_rate frames/s" \
     "(ratio $(python3 -c "print(round($bridge_rate / max($base_rate, 1), 4))"))"
echo "ROW|SocketCAN lab: cangen -g 0 -m to candump through velk_bridge, $frames frames|$bridge_rate frames/s|bare vcan $base_rate frames/s|$(python3 -c "print(round($bridge_rate / max($base_rate, 1), 4))")"
cat "$t/latency"
[ -n "${isotp_seconds:-}" ] && echo "figures: the velk_isotp checks took $isotp_seconds s"
[ "$failed" -eq 0 ] && echo "all lab checks passed" || echo "some lab checks FAILED"
exit "$failed"
