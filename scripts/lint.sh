#!/usr/bin/env bash
# The linters of `make lint`: clang-format (check only), clang-tidy and ruff.
#
#   scripts/lint.sh              every file of the tree
#   LINT_BASE=<rev> scripts/lint.sh
#                                only the files changed since <rev> (committed
#                                or not), as CI does with LINT_BASE=HEAD~1
#
# clang-tidy reads the compile commands of BUILD_DIR (build/ by default) and
# checks the translation units there; a changed header is checked through the
# .cc file of the same name beside it. Files matching TIDY_EXCLUDE (an
# extended regular expression over paths) are left out of clang-tidy only.
# Exits non-zero when any linter reports something.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}
LINT_BASE=${LINT_BASE:-}
TIDY_EXCLUDE=${TIDY_EXCLUDE:-}
RUFF=${RUFF:-.venv/bin/ruff}
failed=0

cxx_pattern='\.(cc|h|c|cpp|hpp)$'
if [ -n "$LINT_BASE" ] && git rev-parse -q --verify "$LINT_BASE^{commit}" >/dev/null; then
  # Since the branch left LINT_BASE: a base that moved on adds nothing.
  fork=$(git merge-base "$LINT_BASE" HEAD)
  mapfile -t files < <(git diff --name-only --diff-filter=d "$fork" --)
  echo "lint: ${#files[@]} files changed since $LINT_BASE"
else
  [ -n "$LINT_BASE" ] && echo "lint: $LINT_BASE is not a commit here; linting the whole tree"
  mapfile -t files < <(git ls-files)
fi

# The translation units clang-tidy can check: those of the compile commands.
tidy_units() {
  python3 - "$BUILD_DIR/compile_commands.json" "$TIDY_EXCLUDE" "$@" <<'EOF'
import json, os, re, sys
db, exclude, wanted = sys.argv[1], sys.argv[2], sys.argv[3:]
root = os.getcwd()
units = {os.path.relpath(e["file"], root) for e in json.load(open(db))}
picked = set()
for path in wanted:
    stem, ext = os.path.splitext(path)
    for candidate in (path,) if ext != ".h" else (stem + ".cc",):
        if candidate in units and not (exclude and re.search(exclude, candidate)):
            picked.add(candidate)
print("\n".join(sorted(picked)))
EOF
}

mapfile -t cxx < <(printf '%s\n' "${files[@]}" | grep -E "$cxx_pattern")
mapfile -t py < <(printf '%s\n' "${files[@]}" | grep -E '\.py$')

if [ ${#cxx[@]} -gt 0 ]; then
  echo "lint: clang-format, ${#cxx[@]} files"
  clang-format --dry-run --Werror "${cxx[@]}" || failed=1
  if [ ! -f "$BUILD_DIR/compile_commands.json" ]; then
    echo "lint: no $BUILD_DIR/compile_commands.json (make configure makes it)" >&2
    failed=1
  else
    mapfile -t units < <(tidy_units "${cxx[@]}")
    if [ ${#units[@]} -gt 0 ]; then
      echo "lint: clang-tidy, ${#units[@]} translation units"
      # Without the count of warnings each unit's headers gave and the check
      # filters dropped.
      printf '%s\n' "${units[@]}" |
        xargs -P "$JOBS" -n 1 clang-tidy -p "$BUILD_DIR" --quiet --warnings-as-errors='*' 2>&1 |
        grep -vE '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$'
      [ "${PIPESTATUS[1]}" -eq 0 ] || failed=1
    fi
  fi
fi

if [ ${#py[@]} -gt 0 ]; then
  echo "lint: ruff, ${#py[@]} files"
  "$RUFF" check --force-exclude --quiet "${py[@]}" || failed=1
fi

[ $failed -eq 0 ] && echo "lint: clean"
exit $failed
