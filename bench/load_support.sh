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
