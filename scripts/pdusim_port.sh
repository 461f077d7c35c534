# Sourced by scripts that start pdusim in the background with --port 0.
# pdusim_port LOG PID: prints the port pdusim announced in LOG ("pdusim listening on
# 127.0.0.1:PORT"), waiting at most 60 s (an armhf pdusim under qemu on a busy machine starts
# in seconds); prints nothing when pdusim exits or stays silent.
pdusim_port() {
  local log=$1 pid=$2 port= _
  for _ in $(seq 1 1200); do
    port=$(sed -n 's/^pdusim listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$log" 2>/dev/null || true)
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "$port"
}
