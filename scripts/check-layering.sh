#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Checks who includes whom and exits non-zero, listing the offending lines,
# when a rule is broken:
# - the core (driver, numeric, process_model, controller, matprod, platform)
#   includes nothing of mex/, api/, experiments/, cli/ or python/;
# - controller/ and process_model/ never include each other;
# - experiments/, cli/ and python/ include only api/, experiments/ and their
#   own folder;
# - api/veltrax.hpp, and every header it includes, includes only api/
#   headers and the standard library.
set -euo pipefail
cd "$(dirname "$0")/.."

broken=0
# includes FOLDER: "file:line:folder/header" for each quoted include there.
includes() {
  grep -rHnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$1" --include='*.cpp' --include='*.hpp' --include='*.h' |
    sed -E 's/^([^:]+:[0-9]+):.*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1:\2/'
}
# forbid FOLDER PATTERN WHY: includes in FOLDER whose header matches PATTERN.
forbid() {
  local hits
  hits=$(includes "$1" | grep -E ":$2" || true)
  if [[ -n $hits ]]; then
    echo "$3:"
    echo "$hits" | sed 's/^/  /'
    broken=1
  fi
}

for core in driver numeric process_model controller matprod platform; do
  forbid "$core" '(mex|api|experiments|cli|python)/' "the core includes an outer layer"
done
forbid controller 'process_model/' "the controller includes the process model"
forbid process_model 'controller/' "the process model includes the controller"
for outer in experiments cli python/src; do
  own=${outer%%/*}
  hits=$(includes "$outer" | grep -vE ":(api|experiments|$own)/" || true)
  if [[ -n $hits ]]; then
    echo "$outer includes more than api/ and experiments/:"
    echo "$hits" | sed 's/^/  /'
    broken=1
  fi
done

# The public headers: api/veltrax.hpp and what it includes, transitively.
todo=(api/veltrax.hpp) seen=" "
while ((${#todo[@]})); do
  header=${todo[0]} todo=("${todo[@]:1}")
  [[ $seen == *" $header "* ]] && continue
  seen+="$header "
  while IFS= read -r line; do
    included=${line##*:}
    if [[ $included != api/* ]]; then
      echo "the public header $header includes $included"
      broken=1
    elif [[ -f $included ]]; then
      todo+=("$included")
    fi
  done < <(includes "$header")
done
exit $broken
