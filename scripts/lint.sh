#!/usr/bin/env bash
# The lint: clang-format's check over every tracked C++ file, then clang-tidy
# (.clang-tidy) over every file of the compile database in $BUILD_DIR.
# Exits non-zero on the first stage that finds anything.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# Generated files (tvkanji/tvkanji_tables.inc) are neither .cpp nor .h and
# stay out of the format check.
git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror
echo "lint: clang-format: $(git ls-files -- '*.cpp' '*.h' | wc -l) files clean"

db="$BUILD_DIR/compile_commands.json"
[ -f "$db" ] || { echo "lint: $db is missing; run make build first" >&2; exit 1; }
runner=$(command -v run-clang-tidy-14 || command -v run-clang-tidy || true)
[ -n "$runner" ] || { echo "lint: run-clang-tidy not found (scripts/deps.sh lint)" >&2; exit 1; }
tidy=$(command -v clang-tidy-14 || command -v clang-tidy)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
files=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))))' "$db")
if ! "$runner" -p "$BUILD_DIR" -clang-tidy-binary "$tidy" -j "$JOBS" -quiet >"$log" 2>&1; then
  # Only the findings, not the command lines the runner echoes.
  grep -E -A3 '(warning|error):' "$log" || cat "$log"
  echo "lint: clang-tidy found problems" >&2
  exit 1
fi
echo "lint: clang-tidy: $files files clean"
