#!/usr/bin/env bash
# Runs the read-only test under strace and fails if, between the two marks the
# test leaves, any process or thread opens a file for writing or creates,
# removes, renames, links, truncates or changes the metadata of anything -
# whether or not the call succeeds. Outside the marks the test builds its tree
# and Qt starts up; those calls are not the program's.
#   tests/read_only_strace.sh path/to/read_only_test
# Exits 77 (skipped) where strace is missing or may not trace.
set -uo pipefail
test_binary=$1

if ! command -v strace >/dev/null; then
  echo "strace is not installed: skipped"
  exit 77
fi
if ! strace -f -qq -o /dev/null true 2>/dev/null; then
  echo "strace may not trace here: skipped"
  exit 77
fi

log=$(mktemp)
trap 'rm -f "$log"' EXIT

writes=open,openat,openat2,creat,mkdir,mkdirat,mknod,mknodat,rmdir,unlink,unlinkat
writes+=,rename,renameat,renameat2,link,linkat,symlink,symlinkat,truncate,ftruncate
writes+=,fallocate,chmod,fchmod,fchmodat,chown,fchown,lchown,fchownat,utime,utimes
writes+=,utimensat,futimesat,setxattr,lsetxattr,fsetxattr,removexattr,lremovexattr,fremovexattr
# LeakSanitizer cannot work under a tracer; a sanitizer build runs without it.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
QT_QPA_PLATFORM=offscreen strace -f -qq -s 256 -o "$log" -e trace="$writes" \
  "$test_binary" --gtest_filter='ReadOnly.*' || exit 1

# The calls between the marks; of open and openat only those that may write.
offending=$(awk '
  /nonexistent-tallyroot-mark\/begin/ { inside = 1; next }
  /nonexistent-tallyroot-mark\/end/   { inside = 0; next }
  !inside { next }
  / (open|openat|openat2)\(/ { if ($0 ~ /O_WRONLY|O_RDWR|O_CREAT|O_TRUNC|O_APPEND/) print; next }
  /^[0-9]+ +[a-z_0-9]+\(/ { print }
' "$log")

if ! grep -q 'nonexistent-tallyroot-mark/end' "$log"; then
  echo "the marks were not found in the trace"
  exit 1
fi
if [ -n "$offending" ]; then
  echo "written while the program ran:"
  echo "$offending"
  exit 1
fi
echo "nothing written: $(grep -c . "$log") calls traced"
