#!/usr/bin/env bash
# The installed service files: the systemd unit's sandbox exposure
# (systemd-analyze security, at most 4.5, and no line it does not understand),
# one service user named alike by the unit, the sysusers.d file and the rc.d
# script, the rc.d script's syntax, root's init on a home of another owner
# (all it creates is the owner's), and the unit's own start, start-up repair
# and stop commands run as an unprivileged owner of the data home.
#
#   tests/packaging/service_test.sh BUILD_DIR
#
# Parts whose tool is missing (systemd-analyze, systemd-sysusers, setpriv,
# root) are skipped with a note.
set -euo pipefail
build=$(cd "${1:?usage: service_test.sh BUILD_DIR}" && pwd)
max_exposure=4.5

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() {
  echo "service_test: $*" >&2
  exit 1
}
note() { echo "service_test: $*"; }

# Installed as a package would: prefix /usr under a staging root.
stage=$scratch/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
unit=$stage/usr/lib/systemd/system/scheduler@.service
sysusers=$stage/usr/lib/sysusers.d/scheduler.conf
rcd=$build/packaging/generated/rc.d/scheduler
for file in "$unit" "$sysusers" "$rcd" "$stage/usr/share/bash-completion/completions/schedulerctl"; do
  [ -f "$file" ] || fail "not installed: ${file#"$stage"}"
done
if grep -n '@SCHED_' "$unit" "$rcd"; then fail "placeholders left in the installed service files"; fi

# One user for all three files.
user=$(sed -n 's/^User=//p' "$unit")
case ${user:-root} in root | 0) fail "the unit runs as root" ;; esac
[ "$(sed -n 's/^Group=//p' "$unit")" = "$user" ] || fail "the unit's Group= is not $user"
grep -Eq "^u[[:space:]]+${user}[[:space:]]" "$sysusers" || fail "sysusers.d does not create $user"
grep -q "^: \${scheduler_user:=$user}\$" "$rcd" || fail "the rc.d script's default user is not $user"

# The file system is read-only to the service but for the data home.
if grep -Eq '^ProtectSystem=(strict|full|yes)' "$unit" && ! grep -Eq '^ReadWritePaths=.*%f' "$unit"; then
  fail "the data home is not among the unit's ReadWritePaths"
fi

sh -n "$rcd" || fail "rc.d script: syntax error"
if command -v shellcheck >/dev/null; then
  # rc.subr reads the variables (SC2034) and is not here (SC1091); its
  # default-assignment idiom is kept (SC2223).
  shellcheck -s sh -e SC1091,SC2034,SC2223 "$rcd" || fail "rc.d script: shellcheck"
fi

if command -v systemd-analyze >/dev/null; then
  report=$(systemd-analyze security --offline=yes "$unit" 2>"$scratch/analyze.err")
  if [ -s "$scratch/analyze.err" ]; then
    cat "$scratch/analyze.err" >&2
    fail "systemd-analyze does not take every line of the unit"
  fi
  exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")
  [ -n "$exposure" ] || fail "no exposure level in: $report"
  awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }' ||
    fail "exposure $exposure is above $max_exposure"
  note "unit exposure $exposure (at most $max_exposure)"
else
  note "systemd-analyze not found: exposure not checked"
fi

if command -v systemd-sysusers >/dev/null; then
  mkdir -p "$scratch/sysroot/etc"
  systemd-sysusers --root="$scratch/sysroot" "$sysusers" >/dev/null 2>&1 ||
    fail "systemd-sysusers refuses $sysusers"
  entry=$(grep "^$user:" "$scratch/sysroot/etc/passwd") || fail "systemd-sysusers made no user $user"
  uid=$(cut -d: -f3 <<<"$entry")
  if [ "$uid" -eq 0 ] || [ "$uid" -ge 1000 ]; then fail "$user is not a system user (uid $uid)"; fi
  case $(cut -d: -f7 <<<"$entry") in
    */nologin | */false) ;;
    *) fail "$user can log in: $entry" ;;
  esac
else
  note "systemd-sysusers not found: sysusers.d file not checked"
fi

# The unit's commands as it runs them: %f the data home, the interval 1, the
# working directory the data home, its umask, no new privileges, as a user
# that owns the data home and nothing else (no entry in the user database).
if [ "$(id -u)" != 0 ] || ! command -v setpriv >/dev/null; then
  note "not root or no setpriv: the unit's commands were not run as an unprivileged user"
  exit 0
fi
command_of() {  # KEY: the unit's command line, its paths under the staging root
  local line
  line=$(sed -n "s/^$1=-\{0,1\}//p" "$unit")
  [ -n "$line" ] || fail "the unit has no $1"
  line=${line//%f/$home}
  line=${line//\$\{SCHEDULER_INTERVAL\}/1}
  printf '%s' "$stage$line"
}
umask_of_unit=$(sed -n 's/^UMask=//p' "$unit")
as_owner() {  # runs "$@" (words of one command line) as the data home's owner
  (cd "$home" && umask "${umask_of_unit:-0022}" &&
    setpriv --reuid="$owner" --regid="$owner" --clear-groups --no-new-privs -- "$@")
}
owner=64999
chmod 755 "$scratch"
home=$scratch/home
ctl=$stage/usr/bin/schedulerctl
# Given an empty home of the owner's, root's init acts as the owner by itself:
# all that it creates there is the owner's, with no chown -R.
mkdir "$home"
chown "$owner:$owner" "$home"
"$ctl" "$home" init >/dev/null
not_owned=$(find "$home" ! -user "$owner" -o ! -group "$owner")
[ -z "$not_owned" ] || fail "root's init left files the owner does not own: $not_owned"
# A per-process status file of a daemon that is gone, for the repair to remove.
dead=$(sh -c 'echo $$')
as_owner touch "$home/data/scheduler/status.$dead"

start_pre=$(command_of ExecStartPre)
start=$(command_of ExecStart)
stop=$(command_of ExecStop)
# A unit's command line is split on blanks (the data home has none here).
# shellcheck disable=SC2086
out=$(as_owner $start_pre) || fail "ExecStartPre failed as the owner: $out"
grep -q "repaired stale-status scheduler/status.$dead" <<<"$out" ||
  fail "ExecStartPre did not repair the stale status file: $out"

# shellcheck disable=SC2086
as_owner $start &
daemon=$!
for _ in $(seq 100); do
  grep -q "daemon: *running, pid" <<<"$(as_owner "$ctl" "$home" status 2>/dev/null)" && break
  sleep 0.1
done
grep -q "daemon: *running, pid" <<<"$(as_owner "$ctl" "$home" status)" || fail "the daemon did not start as the owner"
# shellcheck disable=SC2086
as_owner $stop >/dev/null || fail "ExecStop failed as the owner"
wait "$daemon" || fail "the daemon stopped by ExecStop exited with $?"
note "ExecStartPre, ExecStart, ExecStop ran as uid $owner"
