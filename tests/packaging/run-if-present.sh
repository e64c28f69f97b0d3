#!/bin/sh
# run-if-present.sh <package> <tool> [arguments...]: runs a validator of the field, or skips (CTest code 77)
# with a message where it is not installed.
package=$1
tool=$2
shift 2
if ! command -v "$tool" >/dev/null 2>&1; then
  echo "skipped: $tool is not installed (Debian package $package; scripts/deps.sh installs it)"
  exit 77
fi
echo "\$ $tool $*"
"$tool" "$@"
status=$?
echo "$tool exit status: $status"
exit "$status"
