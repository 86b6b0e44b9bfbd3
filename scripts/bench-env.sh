# Sourced by the upload benchmarks: the build folder and the file size from
# their arguments ([BUILD_DIR] [SIZE_MiB], defaults build and 1024), exported
# for their Python (scripts/bench_support.py).
set -eu
BUILD=${1:-build}
SIZE_MIB=${2:-1024}
ROOT=$(cd "$(dirname "$0")/.." && pwd)
case "$BUILD" in /*) ;; *) BUILD="$ROOT/$BUILD" ;; esac
export QUILLBOX_BIN_DIR="$BUILD/bin" QUILLBOX_SOURCE_DIR="$ROOT" BENCH_SIZE_MIB="$SIZE_MIB"
export PYTHONPATH="$ROOT/scripts${PYTHONPATH:+:$PYTHONPATH}"
