# Sourced by the long platform scripts: `phase NAME` prints how long the step since the
# previous one (or the start) took; `start` is when the script began.
start=$(date +%s)
phase_start=$start
phase() {
  local now
  now=$(date +%s)
  echo "== $1 done in $((now - phase_start)) s"
  phase_start=$now
}
