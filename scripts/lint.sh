#!/usr/bin/env bash
# The rules the tools enforce, quickest first: operating-system headers only
# in Lib/Platform/ (scripts/check-os-headers.sh); every source formatted by
# clang-format (the file at the root; the folders of `make format`); then
# clang-tidy (the checks of .clang-tidy at the root) over the sources of Lib/,
# vigild/, quillboxWeeApp/ and tools/, with the compile commands of the build
# folder. Exits non-zero on any finding. About 9 minutes of CPU time for the
# whole tree (clang-tidy 14), so about 5 minutes on two idle cores.
#   scripts/lint.sh [BUILD_DIR] [JOBS]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD="${1:-build}"
JOBS="${2:-$(nproc)}"
ROOT="$(pwd)"
RUN=$(command -v run-clang-tidy-14 || command -v run-clang-tidy || true)
TIDY=$(command -v clang-tidy-14 || command -v clang-tidy || true)
if [ -z "$RUN" ] || [ -z "$TIDY" ]; then
  echo "lint: clang-tidy is not installed (make deps installs it)" >&2
  exit 2
fi
./scripts/check-os-headers.sh
FORMAT=$(command -v clang-format-14 || command -v clang-format || true)
if [ -z "$FORMAT" ]; then
  echo "lint: clang-format is not installed (make deps installs it)" >&2
  exit 2
fi
if ! find Lib vigild tools tests bench fuzz quillboxWeeApp -name '*.cpp' -o -name '*.h' |
  xargs "$FORMAT" --dry-run -Werror; then
  echo "lint: sources not formatted (make format)" >&2
  exit 1
fi
echo "lint: formatted"
[ -f "$BUILD/compile_commands.json" ] || cmake -S . -B "$BUILD" >/dev/null
# Re-globs new source files into the compile commands.
cmake "$BUILD" >/dev/null
# A clean run leaves nothing after the filter (grep then exits 1): the
# status that counts is clang-tidy's.
set +e
"$RUN" -clang-tidy-binary "$TIDY" -p "$BUILD" -j "$JOBS" -quiet \
  "^$ROOT/(Lib|vigild|quillboxWeeApp|tools)/.*\.cpp\$" 2>&1 |
  grep -v -e '^[0-9]* warnings\? generated\.$' -e '^Suppressed [0-9]* warnings' \
    -e '^Use -header-filter' -e "^$TIDY " -e '^$' | tee "$BUILD/lint.log"
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ] || grep -q 'warning:\|error:' "$BUILD/lint.log"; then
  echo "lint: clang-tidy found problems (see above)" >&2
  exit 1
fi
echo "lint: clean"
