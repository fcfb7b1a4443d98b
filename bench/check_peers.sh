#!/usr/bin/env bash
# Whether the peers of bench/compare answer what the application answers: every request the
# benchmark sends, fetched from ours and from each peer (each on a session of its own), its
# status, content type and body compared with ours; prints each difference.
#
#   bench/check_peers.sh <our-url> <peer-name>=<peer-url>...
#       e.g. bench/check_peers.sh http://127.0.0.1:8080 node=http://127.0.0.1:3000
# Sourced (bench/compare does), it defines check_peers with the same arguments. Either way
# the status is the number of differences found (0 when every reply is the same).

check_peers_add_body='Function=Add&Params=%7B%22A%22%3A2%2C%22B%22%3A3%2C%22Info%22%3A%22x%22%7D'

# check_peers_cookie <base-url>: the cookie of a fresh session.
check_peers_cookie() {
  curl -s -D - -o /dev/null --data "$check_peers_add_body" "$1/appservice/" |
    awk 'tolower($1) == "set-cookie:" {sub(/;.*/, "", $2); print $2; exit}'
}

# check_peers_fetch <out-file> <url> [curl args...]: the body in <out-file>; prints
# "<status> <content type>".
check_peers_fetch() {
  local out=$1 url=$2
  shift 2
  curl -s -o "$out" -w '%{http_code} %{content_type}' "$@" "$url"
}

check_peers() {
  local ours=$1
  shift
  local tmp differences=0 ours_cookie peer name url cookie request path what
  tmp=$(mktemp -d)
  ours_cookie=$(check_peers_cookie "$ours")
  # <what>|<path>|<method>: the Node.js peer serves no ping, so only the peers that answer
  # it are asked.
  local requests=(
    "ping|/\$/ping|GET"
    "Add on a session|/appservice/|POST"
    "sqlselect page 1|/rest/sqlselect?tblNames=T&page=1&rp=20|GET"
    "sqlselect page 4000|/rest/sqlselect?tblNames=T&page=4000&rp=20|GET"
  )
  for peer in "$@"; do
    name=${peer%%=*} url=${peer#*=}
    cookie=$(check_peers_cookie "$url")
    for request in "${requests[@]}"; do
      IFS='|' read -r what path method <<<"$request"
      local args_ours=(-H "Cookie: $ours_cookie") args_peer=(-H "Cookie: $cookie")
      if [[ $method == POST ]]; then
        args_ours+=(--data "$check_peers_add_body")
        args_peer+=(--data "$check_peers_add_body")
      fi
      local head_ours head_peer
      head_ours=$(check_peers_fetch "$tmp/ours" "$ours$path" "${args_ours[@]}")
      head_peer=$(check_peers_fetch "$tmp/peer" "$url$path" "${args_peer[@]}")
      if [[ $what == ping && ${head_peer%% *} == 404 ]]; then
        continue  # a peer that serves no ping
      fi
      if [[ $head_ours != "$head_peer" ]]; then
        echo "$name, $what: status and type '$head_peer', ours '$head_ours'"
        differences=$((differences + 1))
      fi
      if ! cmp -s "$tmp/ours" "$tmp/peer"; then
        echo "$name, $what: the body differs from ours ($(wc -c <"$tmp/peer") bytes," \
             "ours $(wc -c <"$tmp/ours")), first at$(cmp "$tmp/ours" "$tmp/peer" |
             sed 's/.*differ://'):"
        diff <(fold -w 100 "$tmp/ours") <(fold -w 100 "$tmp/peer") | head -6 | sed 's/^/  /'
        differences=$((differences + 1))
      fi
    done
  done
  rm -rf "$tmp"
  ((differences == 0)) && echo "the peers' replies are the same as ours: $*"
  return "$differences"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -uo pipefail
  if (($# < 2)); then
    echo "usage: $0 <our-url> <peer-name>=<peer-url>..." >&2
    exit 2
  fi
  check_peers "$@"
fi
