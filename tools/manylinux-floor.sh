#!/usr/bin/env bash
# Prints the manylinux tag that auditwheel allows the module, linked as it ships
# (libstdc++ and libgcc shared) and with libstdc++, or both, linked statically:
# the figures behind the tag that tools/check-wheel.sh repairs to. Each variant is a
# full compile in build-wheel/floor-N (about 40 s on two jobs).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$PWD/.venv
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

variants=("" "-static-libstdc++" "-static-libstdc++ -static-libgcc")
for i in "${!variants[@]}"; do
  flags=${variants[$i]}
  out=build-wheel/floor-$i
  rm -rf "$out/dist"
  "$venv/bin/python" -m build --wheel --no-isolation --outdir "$out/dist" \
    -C build-dir="$out/cmake" -C cmake.define.CMAKE_MODULE_LINKER_FLAGS="$flags" . \
    >"$out.log" 2>&1 || {
    cat "$out.log" >&2
    exit 1
  }
  so=$(echo "$out"/cmake/quillset.*.so)
  tag=$("$venv/bin/auditwheel" show "$out"/dist/*.whl 2>&1 |
    grep -o 'platform tag: "[^"]*"' | head -1 | cut -d'"' -f2)
  newest() { objdump -T "$so" | grep -o "$1" | sort -V -u | tail -1; }
  printf '%-38s %-22s needs %-11s %-15s module %s bytes\n' \
    "link: ${flags:-shared, as shipped}" "$tag" "$(newest 'GLIBC_2\.[0-9]*')" \
    "$(newest 'GLIBCXX_3\.4\.[0-9]*')" "$(stat -c %s "$so")"
done
