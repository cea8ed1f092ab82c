#!/usr/bin/env bash
# A private network for one test run, and a command run inside it.
#
#   testbed.sh COMMAND [ARGUMENTS...]
#
# Makes network namespaces joined by a bridge: a switch, the client (where
# COMMAND runs; its hosts file and /etc/samba are its own, so tests may
# change its smb.conf and lmhosts), the peer
# (Samba's nmbd and smbd, NetBIOS name PEER) and two spare hosts for peers of
# the tests' own; and one more with no network but loopback. Beyond a router
# (a namespace with a leg on each bridge) lies a second subnet, which no
# broadcast of the first reaches: nmbd as its WINS server, and Samba as FAR,
# registered with that server. Names and addresses are
# unique per run. Everything is torn down when the command ends, also when
# it fails or the script is interrupted; on failure the Samba logs and a
# capture of the client's traffic are kept in $LOMP_TESTBED_KEEP (default:
# the current directory).
#
# COMMAND sees these variables:
#   LOMP_TESTBED=1          LOMP_NS_CLIENT, LOMP_NS_PEER, LOMP_NS_SPARE,
#                           LOMP_NS_ISOLATED (loopback only: no LANA)
#   LOMP_CLIENT_ADDR        LOMP_PEER_ADDR, LOMP_SPARE_ADDR, LOMP_BROADCAST
#   LOMP_PEER_NAME=PEER     LOMP_WORKGROUP, LOMP_INBOX (smbd's message folder)
#   LOMP_PEER_ALIASES       PEER's other names: ALIAS01 ... ALIAS10
#   LOMP_SPARE_HOST         the spare host's name in the client's hosts file
#   LOMP_SPARE_NAME=SPARE   the spare host's NetBIOS name (its smb.conf; no Samba runs there)
#   LOMP_NS_SPARE2, LOMP_SPARE2_ADDR, LOMP_SPARE2_NAME=SPARE2: a second such host
#   LOMP_ABSENT_HOST        a name in that file whose address has no host
#   LOMP_PEER_HOST, LOMP_PEER_LONG_HOST: PEER's host names in that file (the
#                           client's DNS server is SPARE2's address, where
#                           none runs; tests may rewrite its resolv.conf)
#   LOMP_HOST_NETNS         the machine's own network namespace, never to be used
#   LOMP_FAR_NAME=FAR       LOMP_FAR_ADDR, LOMP_FAR_INBOX: Samba beyond the router
#                           (in LOMP_NS_FAR)
#   LOMP_WINS_ADDR          the WINS server beyond the router (FAR is registered)
#   LOMP_DEAD_WINS_ADDR     an address beyond the router where no host is
# Needs root, iproute2 and samba; without them it exits 77 (skipped).
set -euo pipefail

if (($# == 0)); then
  echo "usage: $0 COMMAND [ARGUMENTS...]" >&2
  exit 2
fi
# What the test bed cannot do without is not the tests' fault: exit 77, which
# ctest reports as skipped (CI runs as root with everything and checks that
# nothing was skipped).
if ((EUID != 0)); then
  echo "testbed: skipped: needs root to make network namespaces" >&2
  exit 77
fi
for tool in ip smbd nmbd; do
  command -v "$tool" >/dev/null || { echo "testbed: skipped: $tool is missing" >&2; exit 77; }
done

run_id="$(printf '%04x%04x' $$ $((RANDOM)))"
ns_switch="lomp-sw-$run_id"
ns_client="lomp-c-$run_id"
ns_peer="lomp-p-$run_id"
ns_spare="lomp-s-$run_id"
ns_spare2="lomp-t-$run_id"
ns_isolated="lomp-i-$run_id"
ns_router="lomp-r-$run_id"
ns_wins="lomp-w-$run_id"
ns_far="lomp-f-$run_id"
# A /24 in 10.x chosen per run; only these namespaces ever see it.
octet2=$((200 + RANDOM % 50))
octet3=$((RANDOM % 250 + 1))
net="10.$octet2.$octet3"
client_addr="$net.10"
peer_addr="$net.20"
spare_addr="$net.30"
spare2_addr="$net.31"
broadcast="$net.255"
router_addr="$net.1"
# The far subnet: another /24 of 10.x, behind the router.
far_net="10.$((octet2 - 100)).$octet3"
far_router_addr="$far_net.1"
wins_addr="$far_net.2"
far_addr="$far_net.20"
dead_wins_addr="$far_net.99"
workdir="$(mktemp -d "/tmp/lomp-testbed-$run_id.XXXX")"
keep="${LOMP_TESTBED_KEEP:-$PWD}"
pids=()

teardown() {
  local status=$?
  # Nothing stops the teardown half-way: not a second Ctrl-C, nor a reader
  # that has gone away.
  trap - EXIT
  trap '' HUP INT TERM PIPE
  set +e
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  # Killing the peer's processes first lets the namespaces go away at once.
  for ns in "$ns_peer" "$ns_spare" "$ns_spare2" "$ns_isolated" "$ns_client" "$ns_wins" "$ns_far" "$ns_router"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill -9 2>/dev/null || true
  done
  if ((status != 0)); then
    mkdir -p "$keep"
    cp -r "$workdir/log" "$keep/testbed-$run_id-samba-logs" 2>/dev/null || true
    cp "$workdir/client.pcap" "$keep/testbed-$run_id-client.pcap" 2>/dev/null || true
    echo "testbed: failed ($status); logs and capture kept in $keep (run $run_id)" >&2
  fi
  for ns in "$ns_client" "$ns_peer" "$ns_spare" "$ns_spare2" "$ns_isolated" "$ns_wins" "$ns_far" "$ns_router" \
    "$ns_switch"; do
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$workdir" "/etc/netns/$ns_client" "/etc/netns/$ns_spare" "/etc/netns/$ns_spare2"
  exit "$status"
}
trap teardown EXIT
# A signal still tears the test bed down (a reader of our output that goes
# away, such as head, would otherwise leave the namespaces behind).
trap 'exit 129' HUP
trap 'exit 130' INT TERM
trap 'exit 141' PIPE

ip netns add "$ns_switch"
ip -n "$ns_switch" link add br0 type bridge
ip -n "$ns_switch" link set br0 up
ip -n "$ns_switch" link add br1 type bridge
ip -n "$ns_switch" link set br1 up
attach() {  # namespace, address, name of its end[, bridge, broadcast]
  local ns="$1" address="$2" end="$3" bridge="${4:-br0}" bcast="${5:-$broadcast}"
  [[ -e "/run/netns/$ns" ]] || ip netns add "$ns"
  ip -n "$ns_switch" link add "sw-$end" type veth peer name "$end" netns "$ns"
  ip -n "$ns_switch" link set "sw-$end" master "$bridge" up
  ip -n "$ns" link set lo up
  ip -n "$ns" addr add "$address/24" broadcast "$bcast" dev "$end"
  ip -n "$ns" link set "$end" up
  # A port where nothing listens answers every datagram with an ICMP error.
  # The kernel's default rate limit would drop some of those after a few
  # tests, and a lookup that hears nothing waits out its time-out instead of
  # hearing "refused": whether a test fits its time-outs would then depend on
  # the tests that ran before it.
  ip netns exec "$ns" sysctl -qw net.ipv4.icmp_ratelimit=0
}
attach "$ns_client" "$client_addr" eth-c
attach "$ns_peer" "$peer_addr" eth-p
attach "$ns_spare" "$spare_addr" eth-s
attach "$ns_spare2" "$spare2_addr" eth-t
attach "$ns_router" "$router_addr" eth-rn
attach "$ns_router" "$far_router_addr" eth-rf br1 "$far_net.255"
attach "$ns_wins" "$wins_addr" eth-w br1 "$far_net.255"
attach "$ns_far" "$far_addr" eth-f br1 "$far_net.255"
ip netns exec "$ns_router" sysctl -qw net.ipv4.ip_forward=1
for ns in "$ns_client" "$ns_peer" "$ns_spare" "$ns_spare2"; do ip -n "$ns" route add default via "$router_addr"; done
for ns in "$ns_wins" "$ns_far"; do ip -n "$ns" route add default via "$far_router_addr"; done
# The client's hosts file (ip netns exec mounts it over /etc/hosts) names the
# spare host, so a name no node answers for can still be found by the host's
# resolver.
mkdir -p "/etc/netns/$ns_client/samba"
# BADNOWHERE is at an address of the network where no host is.
# PEER has two host names there: one with dots, one too long for NetBIOS.
printf '127.0.0.1 localhost\n%s lompspare\n%s badnowhere\n%s peer.lomp.test\n%s %s\n' \
  "$spare_addr" "$net.99" "$peer_addr" "$peer_addr" lomp-peer-by-a-long-name \
  >"/etc/netns/$ns_client/hosts"
# Its DNS server is SPARE2, where no DNS server runs: a name the hosts file
# does not hold is refused at once, never asked of the machine's own DNS.
printf 'nameserver %s\n' "$spare2_addr" >"/etc/netns/$ns_client/resolv.conf"
# And its Samba configuration names the peer's workgroup as its own ("*").
printf '[global]\n  workgroup = LOMPTEST\n' >"/etc/netns/$ns_client/samba/smb.conf"
# The spare hosts are SPARE and SPARE2 of the same workgroup, with no Samba
# running: places for receivers of the tests' own.
mkdir -p "/etc/netns/$ns_spare/samba" "/etc/netns/$ns_spare2/samba"
printf '[global]\n  workgroup = LOMPTEST\n  netbios name = SPARE\n' >"/etc/netns/$ns_spare/samba/smb.conf"
printf '[global]\n  workgroup = LOMPTEST\n  netbios name = SPARE2\n' >"/etc/netns/$ns_spare2/samba/smb.conf"
# A host with no network at all but loopback.
ip netns add "$ns_isolated"
ip -n "$ns_isolated" link set lo up

# Samba as a Messenger receiver, self-contained in $workdir. It holds ten
# names besides PEER, for runs with many recipients. Its message command runs
# in the foreground, so smbd answers a message only once it is in the inbox,
# and it journals the files in the order smbd handed them over (file times
# are too coarse to tell two quick messages apart).
peer_aliases="$(printf 'ALIAS%02d ' $(seq 1 10))"
mkdir -p "$workdir"/{lock,state,cache,pid,private,log,ncalrpc,inbox}
chmod 1777 "$workdir/inbox"
chmod 755 "$workdir"
cat >"$workdir/smb.conf" <<CONF
[global]
  netbios name = PEER
  netbios aliases = $peer_aliases
  workgroup = LOMPTEST
  interfaces = eth-p
  bind interfaces only = yes
  server min protocol = NT1
  smb ports = 139
  disable netbios = no
  message command = /bin/sh -c '/bin/cat %s > $workdir/inbox/msg-%f-%t-\$\$; echo msg-%f-%t-\$\$ >> $workdir/inbox.order; rm %s'
  lock directory = $workdir/lock
  state directory = $workdir/state
  cache directory = $workdir/cache
  pid directory = $workdir/pid
  private dir = $workdir/private
  ncalrpc dir = $workdir/ncalrpc
  log file = $workdir/log/%m.log
  log level = 1
  load printers = no
  printcap name = /dev/null
  disable spoolss = yes
  dns proxy = no
  wins support = no
CONF
cat >"$workdir/client.conf" <<CONF
[global]
  interfaces = eth-c
  bind interfaces only = yes
  lock directory = $workdir/lock
  state directory = $workdir/state
  cache directory = $workdir/cache
  private dir = $workdir/private
CONF
# Beyond the router: a WINS server, and FAR (nmbd registers FAR with it).
far_conf() {  # name, interface, extra lines
  local name="$1" interface="$2" extra="$3"
  mkdir -p "$workdir/$name"/{lock,state,cache,pid,private,ncalrpc,inbox}
  chmod 1777 "$workdir/$name/inbox"
  cat >"$workdir/$name/smb.conf" <<CONF
[global]
  netbios name = $name
  workgroup = LOMPFAR
  interfaces = $interface
  bind interfaces only = yes
  server min protocol = NT1
  smb ports = 139
  disable netbios = no
  lock directory = $workdir/$name/lock
  state directory = $workdir/$name/state
  cache directory = $workdir/$name/cache
  pid directory = $workdir/$name/pid
  private dir = $workdir/$name/private
  ncalrpc dir = $workdir/$name/ncalrpc
  log file = $workdir/log/$name-%m.log
  log level = 1
  load printers = no
  printcap name = /dev/null
  disable spoolss = yes
  dns proxy = no
$extra
CONF
}
far_conf WINSSRV eth-w "  wins support = yes"
far_conf FAR eth-f "  wins server = $wins_addr
  message command = /bin/sh -c '/bin/cat %s > $workdir/FAR/inbox/msg-%f-%t-\$\$; rm %s' &"
# A Samba daemon in a namespace, with a session of its own (on exit it
# signals its whole process group): namespace, daemon, configuration, log.
# setsid does not fork here (a job of a script is no group leader), so $! is
# the daemon itself.
start_daemon() {
  setsid ip netns exec "$1" "$2" --foreground --no-process-group -s "$3" >>"$4" 2>&1 &
  pids+=($!)
}

if command -v tshark >/dev/null; then
  setsid ip netns exec "$ns_client" tshark -q -i eth-c -w "$workdir/client.pcap" >/dev/null 2>&1 &
  pids+=($!)
fi

# True once the nmblookup query ($2...), made from the client, is answered
# with address $1.
answers_with() {
  local address="$1"
  shift
  ip netns exec "$ns_client" nmblookup -s "$workdir/client.conf" "$@" 2>/dev/null |
    grep -q "^${address//./\\.} "
}
# True once smbd listens in namespace $1 and answers_with $2... holds.
samba_ready() {
  local ns="$1"
  shift
  ip netns exec "$ns" ss -ltn 2>/dev/null | grep -q ":139 " && answers_with "$@"
}
# Waits at most SECONDS seconds until COMMAND ARGUMENTS holds. A query that
# goes unanswered takes seconds of its own, so the bound is on the clock, not
# on the number of tries.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.25
  done
}

# What can be seen of the Samba hosts when one of them does not answer:
# which daemons still run, the hosts' addresses and sockets, the router's
# neighbours, a query made verbose ($@), and the ends of the logs.
diagnostics() {
  local pid
  for pid in "${!daemon_names[@]}"; do
    echo "testbed: ${daemon_names[$pid]} ($pid) is $(kill -0 "$pid" 2>/dev/null && echo running || echo gone)"
  done
  for ns in "$ns_peer" "$ns_wins" "$ns_far"; do
    echo "testbed: namespace $ns"
    ip -n "$ns" -br addr || true
    ip netns exec "$ns" ss -tuln || true
  done
  ip -n "$ns_router" neigh || true
  ip netns exec "$ns_client" nmblookup -d 3 -s "$workdir/client.conf" "$@" || true
  tail -n 40 "$workdir"/log/*.log "$workdir"/log/*.out 2>/dev/null || true
}
# Waits until READY holds for a host whose daemons START has started (START
# puts their pids in the array ${START}_pids). A host that is
# not ready in 30 s is started once more (a registration lost at start-up is
# not repeated by nmbd for minutes); then the test bed gives up, with all it
# can tell of why. QUERY is the nmblookup query that READY makes, shown
# verbose on failure.
declare -A daemon_names=()
await_host() {  # description, START, QUERY, READY...
  local what="$1" start="$2" query="$3"
  shift 3
  wait_for 30 "$@" && return 0
  echo "testbed: $what was not ready in 30 s; starting it once more" >&2
  # shellcheck disable=SC2086  # the query is split into nmblookup's arguments
  diagnostics $query >&2
  local -n host_pids="${start}_pids"
  kill "${host_pids[@]}" 2>/dev/null || true
  wait "${host_pids[@]}" 2>/dev/null || true
  "$start"
  wait_for 30 "$@" && return 0
  echo "testbed: $what was not ready after a second start either" >&2
  # shellcheck disable=SC2086
  diagnostics $query >&2
  exit 1
}
# start_daemon, remembering the daemon's name for the diagnostics and its pid
# in the array named first.
start_named() {  # array, description, namespace, daemon, configuration, log
  local -n host_pids="$1"
  start_daemon "$3" "$4" "$5" "$6"
  daemon_names[${pids[-1]}]="$2"
  host_pids+=("${pids[-1]}")
}
start_peer() {
  # shellcheck disable=SC2034  # read through a name reference in await_host
  start_peer_pids=()
  start_named start_peer_pids "PEER's nmbd" "$ns_peer" nmbd "$workdir/smb.conf" "$workdir/log/nmbd.out"
  start_named start_peer_pids "PEER's smbd" "$ns_peer" smbd "$workdir/smb.conf" "$workdir/log/smbd.out"
}
start_wins() {
  # shellcheck disable=SC2034  # read through a name reference in await_host
  start_wins_pids=()
  start_named start_wins_pids "the WINS server's nmbd" "$ns_wins" nmbd "$workdir/WINSSRV/smb.conf" \
    "$workdir/log/wins-nmbd.out"
}
start_far() {
  # shellcheck disable=SC2034  # read through a name reference in await_host
  start_far_pids=()
  start_named start_far_pids "FAR's nmbd" "$ns_far" nmbd "$workdir/FAR/smb.conf" "$workdir/log/far-nmbd.out"
  start_named start_far_pids "FAR's smbd" "$ns_far" smbd "$workdir/FAR/smb.conf" "$workdir/log/far-smbd.out"
}
# PEER is ready when smbd listens and nmbd answers a query for PEER<03> (it
# first defends its names by broadcast, which takes a few seconds), and for
# the last of its aliases, registered soon after PEER itself.
peer_ready() {
  samba_ready "$ns_peer" "$peer_addr" -B "$broadcast" 'PEER#03' &&
    answers_with "$peer_addr" -B "$broadcast" 'ALIAS10#03'
}
# PEER comes up while the far subnet does. FAR's nmbd registers its names
# with the WINS server as it starts; a WINS server that does not answer then
# is written off for ten minutes and FAR stays unregistered, so the WINS
# server must be answering first. FAR is ready when the WINS server, asked
# across the router, knows FAR<03>.
start_peer
start_wins
await_host "the WINS server" start_wins "-U $wins_addr WINSSRV#00" \
  answers_with "$wins_addr" -U "$wins_addr" 'WINSSRV#00'
start_far
await_host "PEER" start_peer "-B $broadcast PEER#03" peer_ready
await_host "FAR" start_far "-U $wins_addr --recursion FAR#03" \
  samba_ready "$ns_far" "$far_addr" -U "$wins_addr" --recursion 'FAR#03'

export LOMP_TESTBED=1 LOMP_NS_CLIENT="$ns_client" LOMP_NS_PEER="$ns_peer" LOMP_NS_SPARE="$ns_spare"
export LOMP_NS_ISOLATED="$ns_isolated"
export LOMP_CLIENT_ADDR="$client_addr" LOMP_PEER_ADDR="$peer_addr" LOMP_SPARE_ADDR="$spare_addr"
export LOMP_BROADCAST="$broadcast" LOMP_PEER_NAME=PEER LOMP_WORKGROUP=LOMPTEST
export LOMP_INBOX="$workdir/inbox" LOMP_PEER_ALIASES="$peer_aliases" LOMP_SPARE_HOST=lompspare LOMP_ABSENT_HOST=BADNOWHERE
export LOMP_PEER_HOST=peer.lomp.test LOMP_PEER_LONG_HOST=lomp-peer-by-a-long-name
export LOMP_SPARE_NAME=SPARE LOMP_NS_SPARE2="$ns_spare2" LOMP_SPARE2_ADDR="$spare2_addr" LOMP_SPARE2_NAME=SPARE2
LOMP_HOST_NETNS="$(readlink /proc/$$/ns/net)"
export LOMP_HOST_NETNS
export LOMP_FAR_NAME=FAR LOMP_FAR_ADDR="$far_addr" LOMP_FAR_INBOX="$workdir/FAR/inbox"
export LOMP_WINS_ADDR="$wins_addr" LOMP_DEAD_WINS_ADDR="$dead_wins_addr" LOMP_NS_FAR="$ns_far"
ip netns exec "$ns_client" "$@"
