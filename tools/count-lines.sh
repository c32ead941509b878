#!/usr/bin/env bash
# Non-blank lines per folder, and the tests' share of the product's: the figure the project keeps
# to (tests at most 45 % of relay/, display/, capture/, settings/, shell/ and any other product
# folder). Fuzz seed corpora are data and not counted.   tools/count-lines.sh [tree]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"
count() {
    find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.sh' -o -name '*.cmake' -o -name CMakeLists.txt \) \
        -not -path '*/corpus/*' -print0 2>/dev/null | xargs -0 -r cat | grep -cv '^\s*$' || true
}
product=0
for d in relay display capture settings shell record decode; do
    [ -d "$d" ] || continue
    n=$(count "$d")
    product=$((product + n))
    printf '%-10s %6d\n' "$d/" "$n"
done
printf '%-10s %6d\n' "product" "$product"
for d in tests bench tools; do printf '%-10s %6d\n' "$d/" "$(count "$d")"; done
tests=$(count tests)
awk -v t="$tests" -v p="$product" 'BEGIN { printf "tests / product  %.1f %%\n", 100 * t / p }'
