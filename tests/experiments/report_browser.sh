#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# The report page in a real browser: headless Chromium opens report.html of
# the example population (from the store), the page's console shows no
# error, every interactive chart was drawn (the page counts them in
# body[data-charts], uPlot leaves a canvas per chart) and a screenshot is
# kept in VELTRAX_ARTEFACTS (report_page.png).
# Needs VELTRAX and VELTRAX_SOURCE_DIR. Exit 77, skipped: Chromium is not
# installed or cannot start here (its message is shown), or the tool was
# built without the charting library.
set -u

: "${VELTRAX:?path of bin/veltrax}" "${VELTRAX_SOURCE_DIR:?source tree}"
artefacts=${VELTRAX_ARTEFACTS:-.}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

skip() {
  echo "skipped: $*"
  exit 77
}
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

browser=$(command -v chromium || command -v chromium-browser) ||
  skip "chromium not installed (scripts/install-deps.sh test installs it)"
# Root needs --no-sandbox; containers often have a small /dev/shm.
flags=(--headless --no-sandbox --disable-gpu --disable-dev-shm-usage --no-first-run --user-data-dir="$work/profile"
  --window-size=1200,2400 --virtual-time-budget=10000)
if ! probe=$(timeout 120 "$browser" "${flags[@]}" --dump-dom about:blank 2>&1) || [[ $probe != *"<html>"* ]]; then
  skip "chromium cannot start here: $(tail -n 3 <<<"$probe")"
fi

mkdir sweep
sed -e 's/"size": 20/"size": 8/' "$VELTRAX_SOURCE_DIR/examples/populations/patients.json" >sweep/patients.json
"$VELTRAX" batch sweep/patients.json -o out --threads 2 --store netcdf >/dev/null || fail "batch"
"$VELTRAX" report out >/dev/null 2>&1 || "$VELTRAX" report out --no-plots >/dev/null || fail "report"
[[ -f out/report_assets/uPlot.iife.min.js ]] || skip "the tool was built without the charting library"
page="file://$work/out/report.html"

dom=$(timeout 120 "$browser" "${flags[@]}" --enable-logging=stderr --v=0 --dump-dom "$page" 2>console.log) ||
  fail "chromium failed on the page: $(tail -n 5 console.log)"
errors=$(grep -E 'CONSOLE|Uncaught' console.log | grep -viE 'level=0|:INFO:' || true)
[[ -z $errors ]] || fail "console messages: $errors"
charts=$(sed -n 's/.*<body[^>]*data-charts="\([^"]*\)".*/\1/p' <<<"$dom")
# Two trajectory charts (y and u) and one histogram per metric with values.
[[ $charts =~ ^[0-9]+$ ]] && ((charts >= 3)) || fail "charts drawn: '${charts}' (not all drawn)"
canvases=$(grep -o '<canvas' <<<"$dom" | wc -l)
((canvases == charts)) || fail "$charts charts but $canvases canvases"
grep -q 'class="u-legend' <<<"$dom" || fail "no chart legend in the page"

mkdir -p "$artefacts"
timeout 120 "$browser" "${flags[@]}" --screenshot="$artefacts/report_page.png" "$page" >/dev/null 2>&1 ||
  fail "no screenshot"
[[ $(head -c 4 "$artefacts/report_page.png" | od -An -c | tr -d ' ') == "211PNG" ]] || fail "screenshot is no PNG"
echo "report page drew $charts charts, console clean; screenshot: $artefacts/report_page.png"
