# Sourced by the load scripts.
#   cpu_ticks <pid>...   CPU ticks (user + system, every thread) of the processes given
cpu_ticks() {
  local total=0 pid
  for pid in "$@"; do
    if [[ -r /proc/$pid/stat ]]; then
      # Fields 14 and 15 after the command name, which may hold blanks.
      total=$((total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}')))
    fi
  done
  echo "$total"
}

#   start_console <folder> [env...]   starts <folder>/appserver in its console, its input kept
#     open on descriptor 3 (the console ends with its input otherwise), standard output and
#     error in <folder>/out; sets pid and port once it says which port it serves, or prints
#     what it said and exits 1
start_console() {
  local folder=$1
  shift
  mkfifo "$folder/in"
  (cd "$folder" && exec env "$@" ./appserver < "$folder/in" > "$folder/out" 2>&1) &
  pid=$!
  exec 3> "$folder/in"
  port=
  for _ in $(seq 1000); do
    port=$(sed -n 's/^HTTP Server is active on port: //p' "$folder/out")
    [ -n "$port" ] && return
    sleep 0.01
  done
  cat "$folder/out"
  exit 1
}
