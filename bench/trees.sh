# Sourced by the benchmark scripts: make_tree ROOT [options] makes a
# benchmark tree with $bin/make_tree once; ROOT.made records what was made,
# so that a tree whose making was cut short is not taken for a complete one.
make_tree() {
  local root=$1
  if [ -e "$root.made" ]; then
    cat "$root.made"
  elif [ -e "$root" ]; then
    echo "$root is incomplete (no $root.made): remove it and run again" >&2
    exit 1
  else
    "$bin/make_tree" "$@" | tee "$root.made.part"
    mv "$root.made.part" "$root.made"
  fi
}
