# Sourced by the job scripts: start_ready OUT PATTERN COMMAND... starts
# COMMAND in the background with its output going to the file OUT, and
# returns once a line of it matches the shell pattern PATTERN (0), or once
# the program ended without one (1; its output is then on stderr). The
# program's process id is left in STARTED. Reading through a pipe, that
# line is the wait: nothing polls.
start_ready() {
  _out=$1 _pattern=$2
  shift 2
  rm -f "$_out.fifo"
  mkfifo "$_out.fifo"
  "$@" >"$_out.fifo" 2>&1 &
  STARTED=$!
  exec 3<"$_out.fifo"
  _ready=""
  while [ -z "$_ready" ] && IFS= read -r _line <&3; do
    printf '%s\n' "$_line" >>"$_out"
    case $_line in $_pattern) _ready=1 ;; esac
  done
  cat <&3 >>"$_out" &
  [ -n "$_ready" ] && return 0
  wait
  cat "$_out" >&2
  return 1
}
