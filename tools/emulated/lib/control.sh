# Shared by every emulated tool: the run log, fault injection and blocking,
# all driven by files in the folder named by EMULATED_TOOLS_CONTROL.
# Sourced, not run; the sourcing tool has already set -euo pipefail.

# One printf into an O_APPEND descriptor is a single write(2), so lines of
# tools running at the same time never interleave.
control_log() {
  local dir=${EMULATED_TOOLS_CONTROL:-}
  [[ -n $dir ]] || return 0
  if [[ ! -d $dir ]]; then
    printf '%s: EMULATED_TOOLS_CONTROL is not a folder: %s\n' "${0##*/}" "$dir" >&2
    exit 1
  fi
  local line
  local IFS=" "
  line="$*"
  printf '%s\n' "$line" >>"$dir/log"
}

# The consumed-once switch is claimed by unlinking it: of several runs that see
# it at the same time only the one whose unlink succeeds takes the fault.
control_fault_requested() {
  local dir=${EMULATED_TOOLS_CONTROL:-}
  [[ -n $dir ]] || return 1
  [[ -e $dir/fail-$1-always ]] && return 0
  [[ -e $dir/fail-$1 ]] && unlink -- "$dir/fail-$1" 2>/dev/null && return 0
  return 1
}

control_wait_if_blocked() {
  local dir=${EMULATED_TOOLS_CONTROL:-}
  [[ -n $dir && -e $dir/block-$1 ]] || return 0
  : >"$dir/blocked-$1"
  while [[ -e $dir/block-$1 ]]; do
    sleep 0.02
  done
  rm -f -- "$dir/blocked-$1"
}

# Called once the command line is known to be valid and before any work:
# a blocked run stays blocked first, so a test can freeze a run that is then
# made to fail.
control_gate() {
  local key=$1
  control_wait_if_blocked "$key"
  if control_fault_requested "$key"; then
    printf '%s: failed (injected fault %s)\n' "${0##*/}" "$key" >&2
    exit 1
  fi
}
