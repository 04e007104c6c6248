# Sourced by the storage benchmarks: timing, medians and ratios, and slowfs
# mounts. Needs $slowfs (the slowfs binary).

now() { date +%s%N; }
seconds() { awk -v ns="$1" 'BEGIN { printf "%.3f", ns / 1e9 }'; }
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END {
  if (NR == 0) print ""; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print (b > 0 ? a / b : 0) }'; }
highest() { tr ' ' '\n' | grep . | sort -g | tail -1; }
# turns COUNT RUN: the order of the tools (0 .. COUNT-1) in run RUN, shuffled
# anew for every run and seeded by RUN, so that a rerun repeats it. Whatever
# a tool leaves the machine to do (a mount to tear down, caches to free)
# falls on another tool each time; starting each run with the next tool in
# a fixed cycle had left every tool right after the same one.
turns() {
  awk -v n="$1" -v run="$2" 'BEGIN { srand(run + 1); for (i = 0; i < n; i++) t[i] = i
    for (i = n - 1; i > 0; i--) { j = int(rand() * (i + 1)); k = t[i]; t[i] = t[j]; t[j] = k }
    for (i = 0; i < n; i++) print t[i] }'
}
# timeTool I ROOT: runs tool I of the caller's $names and $commands once on
# ROOT and adds its seconds to the caller's $times; says so when it fails.
# Tallyroot's time is its load as window_bench --once times it (the window
# already shown), its stretch and peak noted for the first row; any other
# tool is timed from outside, process start included. Needs $watchStalls
# (--stalls or empty).
timeTool() {
  local i=$1 root=$2 out start
  if [[ "${commands[i]}" == */window_bench ]]; then
    if out=$("${commands[i]}" "$root" --once $watchStalls 2>/dev/null | grep '^first load'); then
      times[$i]+=" $(loadSeconds "$out")"
      if [ "$i" -eq 0 ]; then noteLoad "$out"; fi
      return
    fi
  else
    start=$(now)
    if ${commands[i]} "$root" >/dev/null 2>&1; then
      times[$i]+=" $(seconds $(($(now) - start)))"
      return
    fi
  fi
  echo "${names[i]} failed"
}
# pairedRatio TIMES FLOOR_TIMES: the median of each run's time over the
# floor's in the same run. Tools run in turns, so this cancels the drift of
# a machine whose speed wanders over a run; "-" when a run failed.
pairedRatio() {
  local -a a b
  read -ra a <<<"$1"
  read -ra b <<<"$2"
  if [ "${#a[@]}" -eq 0 ] || [ "${#a[@]}" -ne "${#b[@]}" ]; then echo -; return; fi
  paste -d' ' <(printf '%s\n' "${a[@]}") <(printf '%s\n' "${b[@]}") |
    awk '$2 > 0 { printf "%s ", $1 / $2 }' | median | awk '{ printf "%.2f\n", $1 }'
}

# mountSlow DELAY_MS SOURCE: a slowfs mirror of SOURCE at $mounted, a mount
# the kernel knows nothing of yet; unmount (also on exit) ends it.
mounted="" slowPid=""
unmount() {
  if [ -n "$slowPid" ]; then kill -TERM "$slowPid" 2>/dev/null || true; wait "$slowPid" || true; fi
  if [ -n "$mounted" ]; then rmdir "$mounted" 2>/dev/null || true; fi
  mounted="" slowPid=""
}
trap unmount EXIT
mountSlow() {
  local i
  unmount
  mounted=$(mktemp -d /tmp/tallyroot-slow-XXXXXX)
  "$slowfs" --delay-ms "$1" "$2" "$mounted" -f &
  slowPid=$!
  for ((i = 0; i < 1000; i++)); do
    grep -q " $mounted " /proc/self/mountinfo && return 0
    kill -0 "$slowPid" 2>/dev/null || break
    sleep 0.01
  done
  echo "slowfs could not mount $mounted (no /dev/fuse or no right to mount?)" >&2
  return 1
}

# The seconds, the longest stretch without event handling (s) and the peak
# resident memory (KiB) of window_bench's "first load ..." line.
loadSeconds() { awk '{ printf "%.3f", $3 }' <<<"$1"; }
loadStretch() { awk -F'; ' '{ split($2, w, " "); print w[6] }' <<<"$1"; }
loadPeak() { awk -F'; ' '{ split($3, w, " "); print w[4] }' <<<"$1"; }
loadStall() { awk -F'; ' '{ split($4, w, " "); print (w[6] == "" ? -1 : w[6]) }' <<<"$1"; }
# noteLoad LINE: adds one window_bench first load's stretch, machine stall
# and peak to the caller's $stretches, $stalls and $peaks.
noteLoad() {
  stretches+=" $(loadStretch "$1")" stalls+=" $(loadStall "$1")" peaks+=" $(loadPeak "$1")"
}
# loadsLine: the worst stretch of the loads noted, with how long the whole
# machine stood still in that run where watched (window_bench --stalls), so
# that a stretch the machine caused is told from one the program caused, and
# the highest peak. The watching is asked for, as its real-time threads slow
# what they watch: Tallyroot's cold load 4% and names row 10% here (medians
# of nine and eleven loads in turns).
loadsLine() {
  printf '  Tallyroot: longest stretch without event handling %s, ' \
    "$(worstStretch "$stretches" "$stalls")"
  printf 'peak resident memory %.1f MB (highest run)\n' \
    "$(awk -v k="$(highest <<<"$peaks")" 'BEGIN { print k / 1024 }')"
}
worstStretch() {
  paste -d' ' <(tr ' ' '\n' <<<"$1" | grep .) <(tr ' ' '\n' <<<"$2" | grep .) | sort -g | tail -1 |
    awk '{ printf "%.1f ms (worst run; ", $1 * 1000
           if ($2 < 0 || $2 == "") print "the machine not watched)"
           else printf "in it the machine stood still for up to %.1f ms)\n", $2 * 1000 }'
}
