#!/bin/sh
# The port map is the serial library's: each program given links libuartce.so and carries no
# copy of the map's code of its own (a static copy beside the library's would be a second map
# in one process). The library itself must hold the code the check looks for, or the check
# would pass on names that no longer exist.
#
#   port_map_once.sh LIBRARY PROGRAM...
set -u

library=${1:?usage: port_map_once.sh LIBRARY PROGRAM...}
shift
map_code=' uartce::(buildPortMap|PortMap::|parseRemoteName|describeEntry|sourceText)'
failed=0

if ! nm -C --defined-only "$library" | grep -qE "$map_code"; then
  echo "$library: holds no port map code that this check knows by name"
  failed=1
fi
for program in "$@"; do
  copy=$(nm -C --defined-only "$program" | grep -E "$map_code")
  if [ -n "$copy" ]; then
    echo "$program: carries a port map of its own:"
    echo "$copy" | head -n 5
    failed=1
  fi
  if ! readelf -d "$program" | grep -q '(NEEDED).*\[libuartce\.so\.'; then
    echo "$program: does not link libuartce.so"
    failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "port map: once, in the library, for $# programs"
exit "$failed"
