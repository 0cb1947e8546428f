#!/usr/bin/env bash
# Checks portula-cmd's bash completion as bash would run it: COMP_LINE, COMP_POINT, COMP_WORDS
# and COMP_CWORD set for a command line, the completion function called, COMPREPLY read.
#
#   test-completion.sh COMPLETION_FILE [PORTULA_CMD]
#
# With PORTULA_CMD, its --help is the reference: every subcommand and option it names must be
# completed, and nothing it does not name. Exits 1 when any case fails.
set -uo pipefail

completion=${1:?usage: test-completion.sh COMPLETION_FILE [PORTULA_CMD]}
program=${2:-}
failures=0

# shellcheck disable=SC1091
source /usr/share/bash-completion/bash_completion || { echo "no bash-completion"; exit 1; }
# shellcheck disable=SC1090
source "$completion" || exit 1
declare -F _portula_cmd >/dev/null || { echo "FAIL: $completion defines no _portula_cmd"; exit 1; }
[[ $(complete -p portula-cmd 2>/dev/null) == *"-F _portula_cmd"* ]] ||
  { echo "FAIL: $completion does not register _portula_cmd for portula-cmd"; exit 1; }
# No completion is under way here, so bash's compopt would refuse; what it would set does not
# change COMPREPLY.
compopt() { :; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Splits a command line as readline does with the default COMP_WORDBREAKS for the characters
# these cases use: blanks separate words, and "=" is a word of its own.
complete_line() {
  local line=$1 word
  local -a words=()
  read -r -a words <<<"$line"
  [[ $line == *' ' ]] && words+=("")
  COMP_WORDS=()
  for word in "${words[@]}"; do
    if [[ $word == ?*=* ]]; then
      COMP_WORDS+=("${word%%=*}" "=" "${word#*=}")
    else
      COMP_WORDS+=("$word")
    fi
  done
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMPREPLY=()
  _portula_cmd portula-cmd "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  printf '%s\n' "${COMPREPLY[@]}"
}

# check LINE WANTED UNWANTED: each word of WANTED is offered, none of UNWANTED. WANTED "-"
# means nothing at all may be offered.
check() {
  local line=$1 wanted=$2 unwanted=$3 got w bad=""
  got=$(complete_line "$line")
  if [[ $wanted == - ]]; then
    [[ -z $got ]] || bad="offers '$(echo $got)' where nothing fits"
  else
    for w in $wanted; do
      grep -qxF -- "$w" <<<"$got" || bad+=" lacks $w;"
    done
  fi
  for w in $unwanted; do
    grep -qxF -- "$w" <<<"$got" && bad+=" offers $w;"
  done
  if [[ -n $bad ]]; then
    echo "FAIL: '$line':$bad (offered: $(echo $got))"
    failures=$((failures + 1))
  fi
}

# Port maps as the library reads them, and one set in the environment.
mkdir -p "$work/user/portula" "$work/system/portula" "$work/home/.config/portula"
printf '# COM99 = /dev/ttyS9 is a comment\nCOM42 = /dev/ttyUSB0\n  com7=/dev/ttyUSB1\n' \
  >"$work/user/portula/ports.conf"
printf 'COM33 = socket://192.0.2.1:4001\nCOM0 = /dev/ttyS0\nCOMX = /dev/ttyS1\n' \
  >"$work/system/portula/ports.conf"
printf 'COM55 = /dev/ttyACM0\n' >"$work/home/.config/portula/ports.conf"
export XDG_CONFIG_HOME=$work/user UARTCE_SYSCONF_DIR=$work/system HOME=$work/home
export UARTCE_COM77=/dev/null UARTCE_COM78=
unset UARTCE_COM21 2>/dev/null

command_opts="--port --baud --stop-bits --checksum --timeout --ending --hex --json --trace --help --version"
scan_only="--bauds --addresses"
soak_only="--interval --count --duration --expect"
term_only="--timestamps --log"

# line | offered | not offered
cases=(
  "portula-cmd |scan soak term|"
  "portula-cmd so|soak|scan term"
  "portula-cmd t|term|scan soak"
  "portula-cmd -p COM1 s|-|"
  "portula-cmd --e|--ending|--expect"
  "portula-cmd --|$command_opts|$scan_only $soak_only $term_only"
  "portula-cmd scan --|--port --stop-bits --checksum --timeout --json --trace $scan_only|--baud --ending --hex $soak_only $term_only"
  "portula-cmd soak --|--port --baud --ending --json $soak_only|--hex $scan_only $term_only"
  "portula-cmd term --|--port --baud --stop-bits --checksum --timeout --ending --hex --trace $term_only|--json $scan_only $soak_only"
  "portula-cmd term -p COM2 --t|--timeout --timestamps --trace|--json"
  "portula-cmd scan --p|--port --parity|"
  "portula-cmd --parity m|mark|space"
  "portula-cmd soak --flow r|rts-cts|xon-xoff"
  "portula-cmd --es|--escapes|"
  "portula-cmd scan --es|-|--escapes"
  "portula-cmd term --checksum |on off|auto"
  "portula-cmd term --ending |cr none lf lfcr crlf hex:|"
  "portula-cmd scan -p COM2 --b|--bauds|--baud"
  "portula-cmd --ending |cr none lf lfcr crlf hex:|"
  "portula-cmd --ending=lf|lf lfcr|cr crlf none"
  "portula-cmd soak --ending c|cr crlf|lf"
  "portula-cmd --checksum |on off|auto"
  "portula-cmd scan --checksum |on off auto|"
  "portula-cmd scan --checksum=a|auto|on off"
  "portula-cmd --checksum --j|--json|on off"
  "portula-cmd -b 11|115200|9600 1200"
  "portula-cmd --baud=9|9600|19200"
  "portula-cmd scan --bauds 9600,11|9600,115200|115200"
  "portula-cmd --stop-bits |1 2|"
  "portula-cmd soak --count |-|"
  "portula-cmd --timeout |-|"
  "portula-cmd -p |COM1 COM2 COM20 COM42 COM7 COM33 COM77|COM21 COM99 COM0 COMX COM78 COM55"
  "portula-cmd --port COM4|COM4 COM42|COM7 COM1 COM33"
  "portula-cmd --port=com3|COM3 COM33|COM4"
  "portula-cmd scan -p COM7|COM7|COM1"
  "portula-cmd term --r|--rs485|--json"
  "portula-cmd --rs485=rx|rx-during-tx|off terminate-bus"
  "portula-cmd --rs485 rts-a|rts-after-send=high rts-after-send=low|rts-on-send=high"
  "portula-cmd --rs485=delay-before=5,rts-on|delay-before=5,rts-on-send=high delay-before=5,rts-on-send=low|rts-on-send=high"
)
run_case() {
  local line wanted unwanted
  IFS='|' read -r line wanted unwanted <<<"$1"
  check "$line" "$wanted" "$unwanted"
}
for c in "${cases[@]}"; do
  run_case "$c"
done

# Without XDG_CONFIG_HOME the user's map is ~/.config/portula/ports.conf.
unset XDG_CONFIG_HOME
run_case "portula-cmd -p COM5|COM5 COM55|COM42"
export XDG_CONFIG_HOME=$work/user

# A map that is a FIFO is not read (reading it would wait for a writer for good).
rm "$work/system/portula/ports.conf"
mkfifo "$work/system/portula/ports.conf"
run_case "portula-cmd -p COM3|COM3|COM33"

# The tool's own --help is the reference for what there is to complete.
if [[ -n $program ]]; then
  help=$("$program" --help) || { echo "FAIL: $program --help"; exit 1; }
  tool_opts=$(grep -oE -- '--[a-z][a-z0-9-]+' <<<"$help" | sort -u)
  offered=$(for mode in "" "scan " "soak " "term "; do complete_line "portula-cmd $mode--"; done | sort -u)
  missing=$(comm -23 <(echo "$tool_opts") <(echo "$offered"))
  extra=$(comm -13 <(echo "$tool_opts") <(echo "$offered"))
  [[ -z $missing ]] || { echo "FAIL: options of --help not completed: $(echo $missing)"; failures=$((failures + 1)); }
  [[ -z $extra ]] || { echo "FAIL: completed options --help does not name: $(echo $extra)"; failures=$((failures + 1)); }
  # Subcommands: the usage lines "portula-cmd WORD [options]".
  tool_subs=$(sed -nE 's/^(usage:)? *portula-cmd ([a-z][a-z-]*) .*/\2/p' <<<"$help" | sort -u)
  subs=$(complete_line "portula-cmd " | sort -u)
  [[ -n $tool_subs ]] || { echo "FAIL: no subcommands found in $program --help"; failures=$((failures + 1)); }
  [[ $tool_subs == "$subs" ]] ||
    { echo "FAIL: subcommands of --help '$(echo $tool_subs)', completed '$(echo $subs)'"; failures=$((failures + 1)); }
fi

total=$((${#cases[@]} + 2))
[[ -n $program ]] && total=$((total + 3))
echo "completion: $((total - failures)) of $total checks passed"
[[ $failures -eq 0 ]]
