#!/usr/bin/env bash
# schedulerctl's bash completion, called as bash calls it: COMP_WORDS and
# COMP_CWORD set, the last word the one being completed, and COMPREPLY read
# back, on a data home with modules 1, 2 and 12 and entries that are not
# modules.
#
#   tests/packaging/completion_test.sh COMPLETION_FILE
set -uo pipefail
# shellcheck source=/dev/null
source "${1:?usage: completion_test.sh COMPLETION_FILE}" || exit 1
export LC_ALL=C

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
home="$root/gw home"
modules="$home/data/scheduler/module"
mkdir -p "$modules/1" "$modules/2" "$modules/12" "$modules/x7" "$home/data/tmp"
: >"$modules/index"
: >"$modules/5"
printf '#!/bin/sh\n' >"$home/report.sh"
chmod +x "$home/report.sh"
: >"$home/notes.txt"
ln -s "gw home" "$root/gw"
: >"$root/local.sh"
cd "$root" || exit 1
HOME=$root

# The words after "schedulerctl", split on blanks; @ is an empty word. In
# both columns %H is the data home through a path without blanks, %E and %Q
# the one with a blank escaped and quoted, %R the folder all lie in.
# Expected: the completions, sorted, comma-separated.
table='
@                                 | gw,gw home
--v                               | --version
%R/g                              | %R/gw,%R/gw home
%H @                              | alarm,catchup,doctor,init,log,metrics,module,next,output,run,schedule,status,stop
%H --h                            | --help
%H st                             | status,stop
%H module @                       | add,list,remove,set
%H catchup @                      | off,on
%H module -                       | --help
%H alarm @                        | add,list,prune,remove
%H module remove @                | 1,12,2
%H module remove 1                | 1,12
%H module set @                   | 1,12,2
%H module set 1 -                | --help,--overlap,--time-limit
%E run @                          | 1,12,2
%Q schedule add @                 | 1,12,2
~/gw alarm add @                  | 1,12,2
%R/none run @                     |
%H schedule add 1 @               |
%H schedule remove 2 08:00 @      |
%H schedule list @                | 1,12,2
%H schedule list 2 @              | --json
%H module list @                  | --json
%H module list --json @           |
%H module add Report @            | gw,gw home,local.sh,report.sh
%H module add Report rep          | report.sh
%H module add Report no           |
%H module add Report lo           | local.sh
%H module add Report ./lo         | ./local.sh
%H alarm list --all @             | 1,12,2
%H alarm list 1 --all @           | --json
%H alarm remove 1 @               |
%H alarm prune @                  | --before
%H alarm prune --before @         |
%H alarm add 1 -                  | --help
%H run 2 @                        |
%H status -                       | --help,--json
%H next --count 5 @               | --interval,--json,--until
%H next --interval 1              | 1,10,12,120,15,180
%H log --module @                 | 1,12,2
%H log --follow --                | --disable,--enable,--help,--json,--missed,--module,--output,--since
%H log --module 1 @               | --disable,--enable,--follow,--json,--missed,--output,--since
%H log --output @                 | 1,12,2
%H log --output 1 @               | --json,--run
%H output @                       | console,journal,keep
%H output keep @                  |
%H stop @                         | --timeout,--wait
%H doctor --repair @              | --discard,--json
%H doctor --discard @             |
%H init @                         | --owner
%H init --owner roo               | root
%H init --owner root @            |
%H metrics @                      |
%H frobnicate @                   |
'

escaped=${home// /\\ }
expand() {  # a table text with its placeholders filled in
  local text=$1
  text=${text//%H/$root/gw}
  text=${text//%E/$escaped}
  text=${text//%Q/\'$home\'}
  text=${text//%R/$root}
  printf '%s' "$text"
}

failed=0
cases=0
while IFS='|' read -r line expected; do
  [[ $line =~ [^[:space:]] ]] || continue
  read -ra typed <<<"$line"
  COMP_WORDS=(schedulerctl)
  for word in "${typed[@]}"; do
    [[ $word == @ ]] && word=
    COMP_WORDS+=("$(expand "$word")")
  done
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _schedulerctl
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort -u | paste -sd,)
  want=$(expand "$(sed 's/^ *//; s/ *$//' <<<"$expected")")
  cases=$((cases + 1))
  if [[ $got != "$want" ]]; then
    echo "completion_test: schedulerctl ${line%"${line##*[![:space:]]}"}: got '$got', want '$want'" >&2
    failed=$((failed + 1))
  fi
done <<<"$table"
if ((failed > 0)); then
  echo "completion_test: $failed of $cases cases failed" >&2
  exit 1
fi
echo "completion_test: $cases cases passed"
