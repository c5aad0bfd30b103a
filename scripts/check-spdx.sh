#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Lists the source files that lack the line
# "SPDX-License-Identifier: LGPL-2.1-or-later" and exits non-zero when there
# is one. Source files: C++, CMake, shell, Octave/MATLAB, Python, make and the
# package's metadata; data (golden outputs, scenarios, corpora) and
# documentation are not.
#
#   scripts/check-spdx.sh            the files git tracks
set -euo pipefail
cd "$(dirname "$0")/.."

is_source() {
  case $1 in
    *.cpp | *.hpp | *.h | *.cmake | */CMakeLists.txt | CMakeLists.txt | cmake/*.txt) return 0 ;;
    *.sh | *.m | *.m.in | */Makefile | .ci/run | packaging/DESCRIPTION.in | packaging/INDEX) return 0 ;;
    *.py | *.pyi | *.toml) return 0 ;;
  esac
  return 1
}

missing=0
while IFS= read -r f; do
  is_source "$f" || continue
  if ! grep -q 'SPDX-License-Identifier: LGPL-2.1-or-later' "$f"; then
    echo "$f"
    missing=$((missing + 1))
  fi
done < <(git ls-files)

if ((missing)); then
  echo "$missing source file(s) without an SPDX-License-Identifier line" >&2
  exit 1
fi
