#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the hostile suite under Wine with exception reports switched on. A fault inside
# the helper's window procedure while it handles a sent message is swallowed by Wine;
# only its report on standard error tells. The reports of the suite and of every
# program it starts (they all share its standard error) go to LOG, which the suite
# reads after each test; whatever LOG holds is shown at the end.
#
#   run_logged.sh WINENV STATE_DIR LOG PROGRAM HELPER [GoogleTest flags]
set -u
winenv=$1 state=$2 log=$3 program=$4 helper=$5
shift 5

: >"$log"
WINEDEBUG=-all,err+seh "$winenv" run "$state" "$program" "$helper" "--wine-log=$log" "$@" \
  2>>"$log"
rc=$?
if [ -s "$log" ]; then
  echo "--- standard error of the suite and its programs ($log):"
  cat "$log"
fi
exit "$rc"
