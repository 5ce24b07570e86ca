#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Measures the helper against the least a program of its kind costs and prints one
# table: program size and imports, a forwarded command against an empty launch,
# notification passes against plain UDP round trips on 127.0.0.1, a pass over a silent
# port, and peak working sets. Figures only: the goals stand beside them, and nothing
# here passes or fails on them.
#
#   bash bench/run.sh            build, measure, print
#   bash bench/run.sh --table    print the table of the last run again
#
# BENCH_RUNS=N changes the number of repetitions per median (default 200). Builds in
# build/bench-i686 and build/bench-x86_64 and runs in a private Wine environment under
# build/bench-wine, which is stopped on the way out whatever happens. The 64-bit
# program gets every figure except the two passes over a silent port (about 14 s each)
# and the launch probes that break the 32-bit launch time down.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${BENCH_RUNS:-200}
state="$root/build/bench-wine"
winenv="$root/tests/wine/winenv.sh"
out="$root/build/bench-results"

measure() {
  bash scripts/bootstrap.sh
  mkdir -p "$out"
  rm -f "$out"/figures-*.txt "$out/run.txt"

  load_before=$(cut -d' ' -f1-3 /proc/loadavg)
  for arch in i686 x86_64; do
    echo "bench: building $arch..." >&2
    # Never signed, whatever the environment says: the size goal counts the program
    # alone, and a signature's size is the certificate's, not the program's.
    if ! { cmake --preset "mingw-$arch" -B "build/bench-$arch" -DTRAYREDRAW_SIGN_PKCS12= &&
           cmake --build "build/bench-$arch" -j "$(nproc)" --target helper_bench; } \
         >"$out/build-$arch.log" 2>&1; then
      tail -n 40 "$out/build-$arch.log" >&2
      echo "bench: the $arch build failed (log: $out/build-$arch.log)" >&2
      exit 1
    fi
  done

  trap '"$winenv" stop "$state"' EXIT
  echo "bench: starting a private Wine desktop (the first time takes about 20 s)..." >&2
  # Where 32-bit programs run under qemu-i386, the 32-bit figures are those of
  # emulation, not of the program: the table's header says which route ran them.
  "$winenv" start "$state"

  for arch in i686 x86_64; do
    b="$root/build/bench-$arch"
    extra=()
    [ "$arch" = i686 ] && extra=(--slow --probes)
    echo "bench: measuring $arch ($runs runs per median)..." >&2
    # The program ends every process it starts; should it fail, the trap above ends the
    # Wine environment and with it anything left.
    "$winenv" run "$state" "$b/bench/helper_bench.exe" "$b/trayredraw.exe" "$b/bench" \
      --runs "$runs" "${extra[@]}" >"$out/figures-$arch.txt" || true
    if ! grep -q '^done 1' "$out/figures-$arch.txt"; then
      echo "bench: the $arch measurement ended early; figures so far:" >&2
      cat "$out/figures-$arch.txt" >&2
    fi
  done
  load_after=$(cut -d' ' -f1-3 /proc/loadavg)
  {
    echo "when $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "runs $runs"
    echo "load $load_before -> $load_after"
    # Which Wine ran the figures, and how 32-bit programs ran, as the environment found it.
    echo "route $("$winenv" route "$state")"
  } >"$out/run.txt"

  # Sizes and imports, read from the files themselves.
  for arch in i686 x86_64; do
    b="build/bench-$arch"
    {
      for p in trayredraw:"$b/trayredraw.exe" empty:"$b/bench/empty_entry.exe" \
               empty_crt:"$b/bench/empty_crt.exe"; do
        name=${p%%:*} file=${p#*:}
        echo "size.$name $(stat -c %s "$file")"
        echo "imports.$name $("$arch-w64-mingw32-objdump" -p "$file" |
          awk '/DLL Name:/ {printf "%s%s", sep, $3; sep=","}')"
      done
    } >>"$out/figures-$arch.txt"
  done
}

table() {
  [ -s "$out/run.txt" ] || { echo "bench: no figures yet; run bash bench/run.sh" >&2; exit 1; }
  awk -v runs="$(sed -n 's/^runs //p' "$out/run.txt")" \
      -v cores="$(nproc)" \
      -v cpu="$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)" \
      -v wine="$(sed -n 's/^route //p' "$out/run.txt")" \
      -v load="$(sed -n 's/^load //p' "$out/run.txt")" \
      -v when="$(sed -n 's/^when //p' "$out/run.txt")" \
      '
    FNR == 1 { arch = (FILENAME ~ /i686/) ? "i686" : "x86_64" }
    { v[arch, $1] = $2 }
    function get(a, k) { return ((a, k) in v) ? v[a, k] : "" }
    function ms(a, k,   x) { x = get(a, k); return x == "" ? "-" : sprintf("%.2f ms", x) }
    function sec(a, k,   x) { x = get(a, k); return x == "" ? "-" : sprintf("%.2f s", x) }
    function bytes(a, k,   x) { x = get(a, k); return x == "" ? "-" : sprintf("%d B", x) }
    function mib(a, k,   x) { x = get(a, k); return x == "" ? "-" : sprintf("%.2f MiB", x / 1048576) }
    function ratio(a, k1, k2,   x, y) {
      x = get(a, k1); y = get(a, k2)
      return (x == "" || y == "" || y == 0) ? "-" : sprintf("%.2f x", x / y)
    }
    function row(what, i, x, goal) { printf "%-48s %-14s %-14s %s\n", what, i, x, goal }
    function verdict(ok) { return ok ? "met" : "MISSED" }
    function both(f, g, limit) {
      return "i686 " (f == "-" ? "-" : verdict(f + 0 <= limit)) ", x86_64 " (g == "-" ? "-" : verdict(g + 0 <= limit))
    }
    function system_only(list,   n, i, parts, ok) {
      n = split(tolower(list), parts, ",")
      ok = n > 0
      for (i = 1; i <= n; i++)
        if (parts[i] !~ /^(kernel32|user32|gdi32|ws2_32|msvcrt|advapi32|ntdll|shell32)\.dll$/)
          ok = 0
      return ok
    }
    END {
      print "Helper benchmark, " when
      print "machine: " cores " cores, " cpu ", load " load
      print "wine: " wine
      print "medians of " runs " runs each, launches and round trips interleaved; QueryPerformanceCounter inside Wine"
      print ""
      row("what", "i686", "x86_64", "goal")
      row("----", "----", "------", "----")
      row("program size, stripped, unsigned", bytes("i686", "size.trayredraw"), bytes("x86_64", "size.trayredraw"),
          "<= 10240 B with its resources: i686 " verdict(get("i686", "size.trayredraw") <= 10240) ", x86_64 " verdict(get("x86_64", "size.trayredraw") <= 10240))
      row("  empty WinMain, own entry (floor)", bytes("i686", "size.empty"), bytes("x86_64", "size.empty"), "")
      row("  empty WinMain, C runtime (reference)", bytes("i686", "size.empty_crt"), bytes("x86_64", "size.empty_crt"), "")
      printf "%-48s %s\n", "imports, program (i686)", get("i686", "imports.trayredraw")
      printf "%-48s %s\n", "imports, program (x86_64)", get("x86_64", "imports.trayredraw")
      printf "%-48s %s\n", "  goal: system DLLs only", \
        verdict(system_only(get("i686", "imports.trayredraw")) && system_only(get("x86_64", "imports.trayredraw")))
      printf "%-48s %s\n", "  empty, own entry", get("i686", "imports.empty")
      printf "%-48s %s\n", "  empty, C runtime", get("i686", "imports.empty_crt")
      print ""
      row("forwarded \"start N\", launch to exit", ms("i686", "launch.forward.median"), ms("x86_64", "launch.forward.median"), "")
      row("  empty program, own entry, same line", ms("i686", "launch.empty.median"), ms("x86_64", "launch.empty.median"), "")
      row("  empty program, C runtime, same line", ms("i686", "launch.empty_crt.median"), ms("x86_64", "launch.empty_crt.median"), "")
      f = ratio("i686", "launch.forward.median", "launch.empty.median")
      g = ratio("x86_64", "launch.forward.median", "launch.empty.median")
      row("  ratio forwarded / empty (own entry)", f, g, "<= 1.15 x: " both(f, g, 1.15))
      row("  difference forwarded - empty",
          sprintf("%.2f ms", get("i686", "launch.forward.median") - get("i686", "launch.empty.median")),
          sprintf("%.2f ms", get("x86_64", "launch.forward.median") - get("x86_64", "launch.empty.median")), "")
      if (get("i686", "launch.probe_user32.median") != "") {
        print "  where it goes (i686): probes built like the program, each launched the same way"
        n = split("import:imports user32, calls nothing|find:+ FindWindowA, sends nothing|user32:+ WM_COPYDATA: a forward, user32 only|gdi32:  forward importing also gdi32|ws2_32:  forward importing also ws2_32|msvcrt:  forward importing also msvcrt|all:  forward importing all the program does", probes, "|")
        for (i = 1; i <= n; i++) {
          split(probes[i], p, ":")
          k = "launch.probe_" p[1] ".median"
          row("    " p[2], ms("i686", k), "", ratio("i686", k, "launch.empty.median") " empty")
        }
        row("  ratio forwarded / forward with user32 only", ratio("i686", "launch.forward.median", "launch.probe_user32.median"), "", "")
      }
      print ""
      row("pass, 1 client, to its acknowledgement", ms("i686", "pass1.to_last_ack.median"), ms("x86_64", "pass1.to_last_ack.median"), "")
      row("  pass, 1 client, until SendMessage returns", ms("i686", "pass1.to_return.median"), ms("x86_64", "pass1.to_return.median"), "")
      row("  plain UDP round trip", ms("i686", "pass1.plain.median"), ms("x86_64", "pass1.plain.median"), "")
      row("  ratio pass (to ack) / round trip", ratio("i686", "pass1.to_last_ack.median", "pass1.plain.median"),
          ratio("x86_64", "pass1.to_last_ack.median", "pass1.plain.median"), "")
      row("pass, 10 clients, to the last ack", ms("i686", "pass10.to_last_ack.median"), ms("x86_64", "pass10.to_last_ack.median"), "")
      row("  pass, 10 clients, until SendMessage returns", ms("i686", "pass10.to_return.median"), ms("x86_64", "pass10.to_return.median"), "")
      row("  ten plain UDP round trips", ms("i686", "pass10.plain.median"), ms("x86_64", "pass10.plain.median"), "")
      f = ratio("i686", "pass10.to_last_ack.median", "pass10.plain.median")
      g = ratio("x86_64", "pass10.to_last_ack.median", "pass10.plain.median")
      row("  ratio pass (to last ack) / ten round trips", f, g, "<= 3 x: " both(f, g, 3))
      row("  ratio pass (to return) / ten round trips", ratio("i686", "pass10.to_return.median", "pass10.plain.median"),
          ratio("x86_64", "pass10.to_return.median", "pass10.plain.median"), "")
      print "  where it goes: the same calls from a process of their own with no other user of"
      print "  Windows Sockets, over the same 10 clients (a whole pass each; the window procedure"
      print "  runs on a second thread and handles a message sent or posted by the first):"
      n = split("notify:NotifyRedraw for each client|notify_held:  the same, sockets started around the pass|window_sent:  the same in a window procedure, sent|window_posted:  the same in a window procedure, posted|startup:WSAStartup + WSACleanup alone, x10|socket:socket + closesocket alone, x10|one_socket:round trips over one open socket, x10|notify_first:NotifyRedraw for the first client alone", parts, "|")
      for (i = 1; i <= n; i++) {
        split(parts[i], p, ":")
        k = "exchange." p[1] ".median"
        row("    " p[2], ms("i686", k), ms("x86_64", k), "")
      }
      print ""
      pauses = get("i686", "limits.attempts") * get("i686", "limits.pause_ms") / 1000
      row("pass over a port without a listener (once)", sec("i686", "nolistener.seconds"), "not run", "")
      row("pass over a client that never answers (once)", sec("i686", "hung.seconds"), "not run",
          "<= 15 s: " verdict(get("i686", "hung.seconds") != "" && get("i686", "hung.seconds") <= 15))
      row("  of which fixed pauses", sprintf("%.2f s", pauses), "", "")
      row("  requests the silent client received", get("i686", "hung.requests"), "", "")
      print ""
      row("peak working set, helper after the passes", mib("i686", "memory.helper_after_pass10.peak"), mib("x86_64", "memory.helper_after_pass10.peak"), "")
      row("  helper idle, 10 clients registered", mib("i686", "memory.helper_idle_pass10.peak"), mib("x86_64", "memory.helper_idle_pass10.peak"), "")
      row("  empty program, own entry", mib("i686", "memory.empty.peak"), mib("x86_64", "memory.empty.peak"), "")
      row("  empty program, C runtime", mib("i686", "memory.empty_crt.peak"), mib("x86_64", "memory.empty_crt.peak"), "")
      row("  ratio helper / empty (own entry)", ratio("i686", "memory.helper_after_pass10.peak", "memory.empty.peak"),
          ratio("x86_64", "memory.helper_after_pass10.peak", "memory.empty.peak"), "")
      print ""
      for (key in v) {
        split(key, kk, SUBSEP)
        if ((kk[2] ~ /\.failed$/ || kk[2] ~ /extra_requests$/) && v[key] + 0 > 0 || kk[2] == "error" || kk[2] ~ /last_failure$/)
          print "NOTE " kk[1] ": " kk[2] " " v[key]
        if (kk[2] == "done") finished[kk[1]] = 1
      }
      if (!("i686" in finished)) print "NOTE i686: the measurement ended early"
      if (!("x86_64" in finished)) print "NOTE x86_64: the measurement ended early"
      print "Wine reports no private bytes (always 0), so only working sets are shown."
      print "p10 / p90 of the medians above, failures, and every other figure: build/bench-results/figures-*.txt"
    }' "$out/figures-i686.txt" "$out/figures-x86_64.txt" | tee "$out/table.txt"
}

case "${1:-}" in
  "") measure; table ;;
  --table) table ;;
  *) echo "usage: bash bench/run.sh [--table]" >&2; exit 2 ;;
esac
