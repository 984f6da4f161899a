#!/usr/bin/env bash
# The oldest glibc and libstdc++ that the Linux folder runs with: the newest
# versions of their symbols that the helper and the libraries beside it need
# (objdump -T). Checked against what README.md states, so that the figure
# neither turns away systems that would run it nor lets in ones that would
# not.
#
# Usage: check-floor.sh [folder]          (default build/bin) checks README.md
#        check-floor.sh --print [folder]  prints the two versions
set -euo pipefail
cd "$(dirname "$0")/.."
print=false
if [[ ${1:-} == --print ]]; then
  print=true
  shift
fi
folder=${1:-build/bin}

# The newest version of the symbol set $1 (GLIBC, GLIBCXX) that any shipped
# file asks for.
newest() {
  objdump -T "$folder/debrindle-llama-helper" "$folder"/lib*.so* 2>/dev/null |
    grep -oE "\b$1_[0-9]+(\.[0-9]+)*\b" | sed "s/^$1_//" | sort -uV | tail -n 1
}
glibc=$(newest GLIBC)
libstdcxx=$(newest GLIBCXX)
if [[ -z $glibc || -z $libstdcxx ]]; then
  echo "check-floor: no helper with its libraries in $folder" >&2
  exit 1
fi
if [[ $print == true ]]; then
  printf '%s %s\n' "$glibc" "$libstdcxx"
  exit 0
fi
stated=$(tr '\n' ' ' <README.md | sed -n 's/.*glibc \([0-9.]*\) and libstdc++ \([0-9.]*\) or newer.*/\1 \2/p')
if [[ $stated != "$glibc $libstdcxx" ]]; then
  echo "check-floor: README.md states glibc and libstdc++ '${stated:-nothing}'; the folder needs $glibc and $libstdcxx" >&2
  exit 1
fi
echo "check-floor: the Linux folder needs glibc $glibc and libstdc++ $libstdcxx, as README.md states"
