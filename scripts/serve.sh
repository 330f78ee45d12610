#!/usr/bin/env bash
# Builds Quoril and serves a directory in console mode on port 69 of every local address,
# showing each transfer's line of the transfer log as it is written. Needs root.
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: scripts/serve.sh [OPTIONS] [DIRECTORY]

Builds Quoril and serves DIRECTORY (default: the current directory; created when missing) on
UDP port 69 of every local IPv4 address until Ctrl-C, showing each transfer as it ends.
Needs root (port 69). Nothing on the machine changes: the settings, the events and the
transfer log of the run are files of their own.

Options:
  --replace          uploads may replace existing files (OverwriteExisting 2); by default
                     an upload only creates new files (OverwriteExisting 1)
  --no-uploads       refuse every upload (OverwriteExisting 0)
  --no-confine       serve any path the server can read (LimitToDefaultDirectory 0); by
                     default nothing outside DIRECTORY is served (LimitToDefaultDirectory 1)
  --timeout SECONDS  how long a transfer waits for each packet before sending its last one
                     again, 1 to 255 (Timeout; default 3)
  -h, --help         this text
EOF
}

fail() {
  echo "serve.sh: $*" >&2
  exit 1
}

arguments=("$@")
overwrite=1
limit=1
timeout=3
directory=""
while (($#)); do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --replace) overwrite=2 ;;
    --no-uploads) overwrite=0 ;;
    --no-confine) limit=0 ;;
    --timeout) (($# >= 2)) || fail "--timeout needs a number of seconds"; timeout=$2; shift ;;
    --timeout=*) timeout=${1#*=} ;;
    -*) fail "unknown option $1 (see scripts/serve.sh --help)" ;;
    *) [[ -z "$directory" ]] || fail "one directory only (see --help)"; directory=$1 ;;
  esac
  shift
done
[[ "$timeout" =~ ^[0-9]+$ ]] && ((10#$timeout >= 1 && 10#$timeout <= 255)) ||
  fail "--timeout takes 1 to 255 seconds, not '$timeout'"
[[ $(id -u) -eq 0 ]] || fail "port 69 needs root: run sudo scripts/serve.sh ${arguments[*]}"

served=$(realpath -m -- "${directory:-.}")
if [[ ! -d "$served" ]]; then
  [[ ! -e "$served" ]] || fail "$served is not a directory"
  mkdir -p -- "$served"
  echo "Created $served (empty: put the files to serve there)."
fi
((${#served} <= 259)) || fail "the directory's path is longer than 259 characters"

cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=$(scripts/build.sh quorld quoril-reg | tail -n 1)
build="$PWD/$dir"
root="$build/root"
events="$root/var/log/quoril/events.log"
# The transfer log outside the served directory, where no client fetches it, in a name short
# enough for LogFile (49 characters) and in lower case, as the server takes it.
run="/tmp/quoril-serve-$$-$RANDOM"
mkdir -m 0700 "$run"
log="$run/transfers.log"

# A registry of its own for this run, written with the settings command.
mkdir -p "$root/etc/quoril"
rm -f "$root/etc/quoril/registry.reg"
key='HKLM\SYSTEM\CurrentControlSet\Services\Quoril\Parameters'
while read -r name type data; do
  QUORIL_ROOT="$root" "$build/quoril-reg" add "$key" /v "$name" /t "$type" /d "$data" /f \
    >/dev/null
done <<EOF
LogFile REG_EXPAND_SZ $log
DefaultDirectory REG_EXPAND_SZ $served
Timeout REG_DWORD $((10#$timeout))
MaxRetransmit REG_DWORD 5
EnableLogging REG_DWORD 1
OverwriteExisting REG_DWORD $overwrite
LimitToDefaultDirectory REG_DWORD $limit
EOF

mkdir -p "$(dirname "$events")"
touch "$events"
first_event=$(($(wc -l <"$events") + 1))

# Says why the server ended, from the events it wrote in this run, and exits with 1.
report_failure() {
  local errors
  errors=$(tail -n +"$first_event" "$events" | grep ' 0xC' | cut -d' ' -f5- || true)
  echo >&2
  echo "Quoril could not serve; its events say:" >&2
  sed 's/^/  /' <<<"${errors:-(no event: see $events)}" >&2
  if grep -q EVENT_SOCKET_ALLOCATE <<<"$errors"; then
    local holders
    holders=$(ss -Hulpn 'sport = :69' | grep -o 'users:(.*)' | sort -u || true)
    if [[ -n "$holders" ]]; then
      echo "Port 69 is held by: $holders" >&2
    fi
    echo "Another TFTP server probably holds port 69: stop it first (for instance" \
      "'systemctl stop tftpd-hpa', or 'systemctl stop quoril' for the installed Quoril)." >&2
  elif grep -q EVENT_INIT_FAILED <<<"$errors"; then
    echo "The settings could not be used: the reason stands in brackets above." >&2
  fi
  exit 1
}

QUORIL_ROOT="$root" "$build/quorld" -debug </dev/null &
server=$!
stopping=0
stop() {
  stopping=1
  kill -TERM "$server" 2>/dev/null || true
}
trap stop INT TERM

# Serving once a port-69 socket is bound and the server is still there a moment later.
for ((i = 0; ; i++)); do
  kill -0 "$server" 2>/dev/null || { wait "$server" || true; report_failure; }
  if ss -Hulpn 'sport = :69' | grep -q "pid=$server,"; then
    sleep 0.3
    kill -0 "$server" 2>/dev/null || { wait "$server" || true; report_failure; }
    break
  fi
  ((i < 300)) || { stop; wait "$server" || true; fail "quorld did not bind port 69 within 30 s"; }
  sleep 0.1
done

echo "Serving $served on UDP port 69 of every local IPv4 address (Ctrl-C stops)."
echo "Settings: Timeout $((10#$timeout)), OverwriteExisting $overwrite," \
  "LimitToDefaultDirectory $limit, MaxRetransmit 5 (scripts/serve.sh --help)."
echo "Fetch a file with:  tftp 127.0.0.1 -m binary -c get NAME"
echo "Events: $events"
echo "Transfer log: $log"
echo
tail -n +1 -F --pid="$server" "$log" 2>/dev/null &
follower=$!

# wait returns early when a signal is trapped; the server then goes on with its stop.
while kill -0 "$server" 2>/dev/null; do
  wait "$server" || true
done
wait "$follower" || true
((stopping)) || report_failure
echo "Stopped."
