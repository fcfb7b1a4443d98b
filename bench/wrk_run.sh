# Sourced by load scripts that measure our servers beside nginx (bench/nginx_pong.sh) with wrk.
# It defines:
#   need_packages package:command...    installs the Debian packages whose command is missing
#   free_port                           a loopback port nobody listens on
#   wait_for_url url [curl options]     waits (5 s at most) until the URL answers
#   wrk_run label "pids" wrk-args...    one wrk run; prints requests/s and server CPU time per
#                                       request (utime + stime of the pids, from /proc) and keeps
#                                       both under label in rps[] and cpu[]
#   mean numbers...
#   share label-ours label-nginx goal   "ours N req/s, nginx M req/s: P% of nginx (goal >= goal%)"
#                                       from the means of the runs under the two labels

need_packages() {
  local need=() entry
  for entry in "$@"; do
    command -v "${entry#*:}" >/dev/null 2>&1 || [ -x "${entry#*:}" ] || need+=("${entry%%:*}")
  done
  if ((${#need[@]} > 0)); then
    local sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
    "${sudo_cmd[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${need[@]}"
  fi
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

wait_for_url() {  # url [curl options]
  local url=$1
  shift
  for _ in $(seq 100); do curl -s "$@" "$url" >/dev/null 2>&1 && return 0; sleep 0.05; done
  echo "no answer from $url" >&2
  return 1
}

# CPU ticks of the processes named.
ticks_of() {
  local total=0 pid
  for pid in "$@"; do
    [ -r "/proc/$pid/stat" ] || continue
    # Fields after the command name; utime and stime are the 14th and 15th fields overall.
    local -a f
    read -ra f <<<"$(sed 's/^.*) //' "/proc/$pid/stat")"
    total=$((total + f[11] + f[12]))
  done
  echo "$total"
}

declare -A rps cpu
wrk_run() {  # label "pids" wrk-args...
  local label=$1 pids=$2 before after out requests r us hz
  shift 2
  hz=$(getconf CLK_TCK)
  # shellcheck disable=SC2086
  before=$(ticks_of $pids)
  out=$(wrk "$@")
  # shellcheck disable=SC2086
  after=$(ticks_of $pids)
  requests=$(echo "$out" | awk '/requests in/{print $1}')
  r=$(echo "$out" | awk '/Requests\/sec/{print $2}')
  us=$(awk -v t=$((after - before)) -v hz="$hz" -v n="$requests" 'BEGIN{printf "%.1f", (n > 0 ? t*1e6/hz/n : 0)}')
  printf '%-22s %10s req/s %8s us CPU/request  (%s requests)\n' "$label" "$r" "$us" "$requests"
  rps[$label]="${rps[$label]:-} $r"
  cpu[$label]="${cpu[$label]:-} $us"
}

mean() { echo "$@" | awk '{s=0; for(i=1;i<=NF;i++) s+=$i; printf "%.1f", NF ? s/NF : 0}'; }

share() {  # label-ours label-nginx goal-percent
  local o n oc nc
  o=$(mean ${rps[$1]}); n=$(mean ${rps[$2]})
  oc=$(mean ${cpu[$1]}); nc=$(mean ${cpu[$2]})
  awk -v l="$1" -v o="$o" -v n="$n" -v oc="$oc" -v nc="$nc" -v g="$3" 'BEGIN{
    printf "%-22s ours %.0f req/s, nginx %.0f req/s: %.0f%% of nginx (goal >= %s%%); CPU/request ours %.1f us, nginx %.1f us\n",
      l, o, n, (n > 0 ? 100*o/n : 0), g, oc, nc}'
}
