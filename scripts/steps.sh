# Timed steps of a long script, sourced by it. Set STEP_PREFIX first; `step NAME` ends the
# current step (printing "PREFIX: NAME: Ns") and starts the next ("PREFIX: == NAME"); `step ""`
# only ends the current one. START holds the script's start for a total.
START=$SECONDS
step_start=$SECONDS
step() {
  local now=$SECONDS
  [ -n "${step_name:-}" ] && printf '%s: %s: %ss\n' "$STEP_PREFIX" "$step_name" $((now - step_start))
  step_name=$1
  step_start=$now
  [ -n "$step_name" ] && printf '%s: == %s\n' "$STEP_PREFIX" "$step_name"
  return 0
}
