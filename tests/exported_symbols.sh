#!/usr/bin/env bash
# A shared library exports exactly the functions its header declares with its export macro:
# nothing more (no C++ symbol, no test entry point), nothing less.
# With a version script, every function also carries a symbol version (Open_Com@@UARTCE_1.0);
# given the script, each function it names carries its node's version, and a function it does
# not name carries the version of the node whose pattern takes it.
# Usage: exported_symbols.sh LIBRARY HEADER MACRO [VERSIONED [VERSION_SCRIPT]]
set -euo pipefail
library=$1 header=$2 macro=$3 versioned=${4:-} script=${5:-}
declared=$(sed -n "s/^$macro [a-z0-9_ ]*[ *]*\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p" "$header" | sort -u)
# Defined dynamic symbols, without the three the linker itself puts in every library and the
# version nodes' own names.
symbols=$(nm -D --defined-only "$library" | awk '$2 != "A" {print $3}' |
          grep -vE '^(_edata|_end|__bss_start|_init|_fini)(@|$)')
exported=$(echo "$symbols" | sed 's/@.*//' | sort -u)
[ -n "$declared" ] || { echo "no $macro functions found in $header" >&2; exit 1; }
extra=$(comm -13 <(echo "$declared") <(echo "$exported"))
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
status=0
if [ -n "$versioned" ]; then
  unversioned=$(echo "$symbols" | grep -v '@@' || true)
  if [ -n "$unversioned" ]; then
    echo "$(basename "$library") exports without a symbol version:"; echo "$unversioned" | sed 's/^/  /'
    status=1
  fi
fi
if [ -n "$script" ]; then
  # NAME NODE for each name the script lists, and PATTERN NODE for each pattern in a global part.
  listed=$(sed 's:/\*.*\*/::' "$script" | tr ';' '\n' |
           awk '/^[A-Za-z0-9_.]+ *\{/ {node=$1; global=0; next}
                /global:/ {global=1; sub(/.*global:/, "")}
                /local:/ {global=0}
                /\}/ {global=0; next}
                global { gsub(/[ \t]/, ""); if ($0 != "") print $0, node }')
  for name in $declared; do
    node=$(echo "$listed" | awk -v n="$name" '$1 == n {print $2}' | head -1)
    if [ -z "$node" ]; then
      while read -r pattern pnode; do
        # shellcheck disable=SC2053
        if [[ $pattern == *'*'* && $name == $pattern ]]; then node=$pnode; break; fi
      done <<<"$listed"
    fi
    if [ -z "$node" ]; then
      echo "$name: the version script gives it no version"; status=1
    elif ! echo "$symbols" | grep -qx "$name@@$node"; then
      echo "$name: not exported as $name@@$node ($(echo "$symbols" | grep "^$name@" || echo absent))"
      status=1
    fi
  done
fi
if [ -n "$extra" ]; then
  echo "$(basename "$library") exports what its header does not declare:"; echo "$extra" | sed 's/^/  /'
  status=1
fi
if [ -n "$missing" ]; then
  echo "$(basename "$library") does not export:"; echo "$missing" | sed 's/^/  /'
  status=1
fi
[ $status -eq 0 ] && echo "$(basename "$library"): $(echo "$exported" | wc -l) functions, all declared"
exit $status
