#!/usr/bin/env bash
# The usage text, then a sample BIRD file made with birdtool and checked
# with the updater's -C command.
set -uo pipefail
: "${BUILD:?}" "${STORE:?}"

run() {
  echo "\$ updater $*"
  "$BUILD/updater" "$@"
  local status=$?
  echo "(exit status $status)"
  return 0
}

run -h

if [[ ! -x "$BUILD/birdtool" ]]; then
  echo "birdtool is not built here; skipping the BIRD file check."
  exit 0
fi

work=$(mktemp -d "$STORE/bird.XXXXXX")
echo
echo "\$ birdtool -o sample.bird --build 1234 --version 2.15.3 --model Hub8 --loader 0x10000000:random:2048 --firmware 0x0:random:16384"
"$BUILD/birdtool" -o "$work/sample.bird" --build 1234 --version 2.15.3 --model Hub8 \
  --loader 0x10000000:random:2048 --firmware 0x0:random:16384 || exit 1
run -C -f "$work/sample.bird" -i "$STORE"

# A file whose header carries no valid format version is refused.
echo
echo "\$ birdtool -o bad-header.bird --build 1235 --model Hub8 --firmware 0x0:random:4096 --format-version 0x0100"
"$BUILD/birdtool" -o "$work/bad-header.bird" --build 1235 --model Hub8 \
  --firmware 0x0:random:4096 --format-version 0x0100 || exit 1
run -C -f "$work/bad-header.bird" -i "$STORE"
