#!/usr/bin/env bash
# Prints text/data/bss of the Cortex-M4 objects per firmware module (lwIP and its port as
# "lwip/..."), and the total.
# usage: tools/size_report.sh BUILD_DIR
set -euo pipefail
dir=${1:?usage: size_report.sh BUILD_DIR}
mapfile -t objs < <(find "$dir" -name '*.obj' \( -path '*/src/*' -o -path '*/platform/lwip/*' \) | sort)
if [ ${#objs[@]} -eq 0 ]; then echo "size_report: no objects in $dir" >&2; exit 1; fi
arm-none-eabi-size "${objs[@]}" | awk '
  NR > 1 {
    path = $6
    if (path ~ /\/third_party\/lwip\/src\//) { sub(/.*\/third_party\/lwip\/src\//, "", path); path = "lwip/" path }
    else if (path ~ /\/platform\/lwip\//) { sub(/.*\/platform\/lwip\//, "", path); path = "lwip/port/" path }
    else sub(/.*\/src\//, "", path)
    n = split(path, parts, "/")
    module = parts[1]; for (i = 2; i < n; i++) module = module "/" parts[i]
    print module, $1, $2, $3
  }' | sort | awk '
  { text[$1] += $2; data[$1] += $3; bss[$1] += $4; if (!($1 in seen)) { seen[$1] = 1; order[++n] = $1 } }
  END {
    printf "%-52s %8s %8s %8s\n", "module (Cortex-M4, -Os)", "text", "data", "bss"
    for (i = 1; i <= n; i++) { m = order[i]; printf "%-52s %8d %8d %8d\n", m, text[m], data[m], bss[m]; T += text[m]; D += data[m]; B += bss[m] }
    printf "%-52s %8d %8d %8d\n", "total", T, D, B
    printf "static RAM (data + bss): %d of %d bytes\n", D + B, 96 * 1024
    if (D + B > 96 * 1024) { print "size_report: static RAM over the module'"'"'s 96 KB" > "/dev/stderr"; exit 1 }
  }'
