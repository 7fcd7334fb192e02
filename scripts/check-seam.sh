#!/usr/bin/env bash
# Checks the layering of the library and the CLI by their #include lines:
#   - outside platform/, only standard C++ library headers in <...> (names
#     without a dot or a slash: <string>, <cstdint>); no operating-system
#     header (<unistd.h>, <sys/...>) and no third-party header (<curl/...>,
#     <pugixml.hpp>); the CLI's own operating-system code lives in
#     tools/qrnauth/os_*.{h,cpp} and is allowed them;
#   - platform/ includes none of the logic (security/, frame/);
#   - frame/ includes nothing of security/;
#   - include/qrnauth/ includes only its own headers, and tools/ only those
#     and its own files, so both build against an installed package.
# Scope: the library (include/, frame/, security/, platform/) and the CLI
# (tools/). server/, tests/, bench/, fuzz/ and examples/ are programs of
# their own and are not checked.
# Usage: scripts/check-seam.sh [TREE]
# Prints every offending line as FILE:LINE: TEXT and exits 1 when there is one.
set -euo pipefail
# The tree to check: the first argument, else this repository.
cd "${1:-$(dirname "$0")/..}"

status=0
includes() {  # includes PATH... : FILE:LINE:TEXT of every #include
  find "$@" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.cc' -o -name '*.inc' \) \
    -print0 | sort -z | xargs -0 -r grep -HnE '^[[:space:]]*#[[:space:]]*include' || true
}
report() {  # report WHY LINES
  [ -n "$2" ] || return 0
  sed "s|\$|  <- $1|" <<<"$2"
  status=1
}
keep() { grep -E "$@" || true; }
drop() { grep -vE "$@" || true; }

# <...> that is not a standard C++ library header, outside platform/ and the
# CLI's os_* files.
report "system or third-party header outside platform/" "$(includes include frame security tools |
  drop '^tools/qrnauth/os_[a-z_]+\.(h|cpp):' | keep 'include[[:space:]]*<[^>]*[./][^>]*>')"

report "platform/ includes the logic" "$(includes platform |
  keep 'include[[:space:]]*"(security|frame)/')"

report "frame/ includes security/" "$(includes frame | keep 'include[[:space:]]*"security/')"

report "a public header includes a header that is not installed" "$(includes include |
  keep 'include[[:space:]]*"' | drop 'include[[:space:]]*"qrnauth/')"

report "the CLI includes a header that is not installed" "$(includes tools |
  keep 'include[[:space:]]*"[^"]*/' | drop 'include[[:space:]]*"qrnauth/')"

if [ "$status" = 0 ]; then
  echo "seam: clean"
fi
exit "$status"
