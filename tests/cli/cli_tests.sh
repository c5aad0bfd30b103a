#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Tests of bin/veltrax by group:
# cli_tests.sh errors|forms|inherit|shard|batch|population|plot|progress|docs|state|signals|limits|folders.
# Needs VELTRAX (the binary) and VELTRAX_SOURCE_DIR. Exit 77 means skipped.
set -u

: "${VELTRAX:?path of bin/veltrax}" "${VELTRAX_SOURCE_DIR:?source tree}"
examples=$VELTRAX_SOURCE_DIR/examples/scenarios
work=$(mktemp -d)
mounted=()
cleanup() {
  local m
  for m in "${mounted[@]}"; do umount "$m" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# expect STATUS TEXT veltrax-arguments...: the exit status is STATUS and
# stderr holds TEXT (fixed string; empty TEXT: stderr must be empty).
expect() {
  local status=$1 text=$2 err rc
  shift 2
  err=$("$VELTRAX" "$@" 2>&1 >/dev/null)
  rc=$?
  if [[ $rc != "$status" ]]; then
    fail "veltrax $*: exit $rc, expected $status; stderr: $err"
  elif [[ -z $text && -n $err ]]; then
    fail "veltrax $*: unexpected stderr: $err"
  elif [[ $err != *"$text"* ]]; then
    fail "veltrax $*: stderr lacks '$text': $err"
  fi
}

# scenario NAME N [CONTROL_WEIGHT]: a small linear third-order run.
scenario() {
  cat >"$1.json" <<EOF
{"build": 2, "params": [$2, ${3:-0.1}, 4, 2, 3, 3, 0.01, 10, 0.1],
 "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4.0]}
EOF
}

# The entries of folder $1 but a sweep's manifest.
folders() { (cd "$1" && ls | grep -vx sweep.json | tr '\n' ' '); }

test_errors() {
  # --version names the power path in use and why.
  local version
  version=$("$VELTRAX" --version)
  [[ $version == "veltrax "*$'\n'"power: "*"("*")" ]] || fail "veltrax --version: $version"
  # Scenario files that are not what they should be: nothing is run or written.
  local good='"params": [30, 0.1, 4, 2, 3, 3, 0, 10, 0.1], "curve": [0.404, 0.505, 2.98, 4.0]'
  local lin='"numerator": [1], "denominator": [1, 3, 3, 1]'
  local cases=(
    "{\"build\": 2, $good,"                       "not valid JSON: parse error at line 1"
    '[1, 2]'                                      'the file must hold a JSON object, got an array'
    "{$good, $lin}"                               "top level: no 'build'"
    "{\"build\": 4, $good, $lin}"                 "'build' must be 1, 2 or 3, got 4"
    "{\"build\": \"2\", $good, $lin}"             "'build' must be 1, 2 or 3, got a string"
    "{\"build\": 2, \"params\": \"300\", $lin}"   "top level: 'params' must be an array of numbers, got a string"
    "{\"build\": 2, \"params\": [1, true], $lin}" "top level: 'params' element 2 must be a number, got true"
    "{\"build\": 2, \"paramz\": [1], $lin}"       "top level: unknown field 'paramz'"
    "{\"build\": 2, $good, $lin, \"build\": 3}"     "top level: field 'build' given twice"
    "{\"build\": 2, $good, $lin, \"calls\": [{}, {\"model\": {\"body_mass\": 70, \"body_mass\": 7}}]}" "call 2: 'model': field 'body_mass' given twice"
    "{\"build\": 2, \"params\": [1e999]}"         'not valid JSON: number overflow'
    "{\"build\": 2, $lin, \"curve\": [1, 2, 3, 4]}" "top level: no 'params'"
    "{\"build\": 2, $good, \"numerator\": [1]}"   "top level: no process"
    "{\"build\": 2, $good, $lin, \"model\": {\"body_mass\": 70, \"cardiac_output\": 6.48}}" "give either 'model' or 'numerator' and 'denominator', not both"
    "{\"build\": 2, $good, \"model\": {\"body_mass\": 70}}" "'model' needs 'cardiac_output'"
    "{\"build\": 2, $good, \"model\": [70, 6.48]}" "'model' must be an object"
    "{\"build\": 2, $good, $lin, \"calls\": []}"  "'calls' is empty"
    "{\"build\": 2, $good, $lin, \"calls\": [{}, 3]}" 'call 2 must be an object, got a number'
    "{\"build\": 2, $good, $lin, \"calls\": [{\"build\": 1}]}" "call 1: unknown field 'build'"
    "{\"build\": 2, $good, $lin, \"calls\": [{\"T\": [1, \"x\", 0]}]}" "call 1: 'T' element 2 must be a number, got a string"
    "{\"build\": 2, $good, $lin, \"setpoint\": [[0, 0.8], [100]]}" "top level: 'setpoint' step 2 must be [time, value], optionally with \"after\" and/or \"ramp\", got an array of 1 elements"
    "{\"build\": 2, $good, $lin, \"calls\": [{\"setpoint\": [[0, 0.8, \"later\"]]}]}" "call 1: 'setpoint' step 1: element 3 must be \"after\" or \"ramp\", got \"later\""
    "{\"build\": 2, $good, $lin, \"seed\": \"7\"}" "top level: 'seed' must be an integer from 1 to 2147483562, got a string"
    "{\"build\": 2, $good, $lin, \"population\": {\"size\": 3, \"seed\": 1, \"dead_time\": {\"dist\": \"uniform\", \"low\": 1, \"high\": 2, \"low\": 0}}}" "'population': 'dead_time': field 'low' given twice"
    # The named form: both forms of one part, fields by name.
    "{\"build\": 2, $good, $lin, \"settings\": {}}" "top level: give either 'settings' or 'params', not both"
    "{\"build\": 2, $good, $lin, \"process\": {\"body_mass\": 70, \"cardiac_output\": 6}}" "top level: give either 'process' or 'numerator' and 'denominator', not both"
    "{\"build\": 2, $good, $lin, \"observer\": [1, 0, 0], \"T\": [1, 0, 0]}" "top level: give either 'observer' or 'T', not both"
    "{\"build\": 2, \"settings\": {\"samples\": 30, \"dead_time\": 4.5}, $lin, \"curve\": [1, 2, 3, 4]}" "top level: 'settings.dead_time' must be a whole number from -2147483648 to 2147483647, got 4.5"
    "{\"build\": 2, \"settings\": {\"samples\": 30}, $lin, \"curve\": [1, 2, 3, 4]}" "top level: 'settings' needs 'control_weight'"
    "{\"build\": 2, $good, \"process\": {\"numerator\": [1], \"body_mass\": 70}}" "'process' holds either numerator and denominator (a transfer function) or body_mass and cardiac_output (the built-in model), not both"
    # A numerator in a call replaces an inherited model, so the call has no denominator.
    "{\"build\": 2, $good, \"model\": {\"body_mass\": 70, \"cardiac_output\": 6.48}, \"calls\": [{\"numerator\": [1]}]}" 'call 1: no process'
  )
  local i
  for ((i = 0; i < ${#cases[@]}; i += 2)); do
    printf '%s' "${cases[i]}" >bad.json
    rm -rf out
    expect 1 "${cases[i + 1]}" run bad.json -o out
    [[ $("$VELTRAX" run bad.json -o out 2>&1) == "bad.json: veltrax:badScenario: "* ]] ||
      fail "no badScenario identifier for: ${cases[i]}"
    [[ -e out ]] && fail "output written for: ${cases[i]}"
  done
  # Values out of range: their own identifiers.
  cases=(
    "{\"build\": 2, $good, $lin, \"setpoint\": [[10, 0.8], [5, 0.9]]}" "veltrax:badSchedule: top level: 'setpoint': set-point step 2 must come later than step 1"
    "{\"build\": 2, $good, $lin, \"setpoint\": [[10, 0.8, \"ramp\"]]}" "veltrax:badSchedule: top level: 'setpoint': set-point step 1 starts a ramp but no later step ends it"
    "{\"build\": 2, $good, $lin, \"seed\": 0}" "veltrax:badSeed: top level: 'seed' must be an integer from 1 to 2147483562, got 0"
    "{\"build\": 2, $good, $lin, \"population\": {\"size\": 3, \"seed\": 1, \"body_mass\": {\"dist\": \"normal\", \"mean\": 70, \"sd\": 5}}}" "veltrax:badPopulation: the population draws body mass or cardiac output, but call 1 simulates a linear process"
  )
  for ((i = 0; i < ${#cases[@]}; i += 2)); do
    printf '%s' "${cases[i]}" >bad.json
    expect 1 "bad.json: ${cases[i + 1]}" batch bad.json -o out
    [[ -e out ]] && fail "output written for: ${cases[i]}"
  done
  expect 1 'missing.json: veltrax:badScenario: cannot read the file: No such file or directory' run missing.json -o out
  # Inputs beyond any use are refused at once: a 5 MB file, a filter of 100 numbers.
  { printf '{"build": 2, %s, %s, "T": [1' "$good" "$lin"; head -c 2500000 /dev/zero | sed 's/\x0/,0/g'; printf ']}'; } >huge.json
  expect 1 'huge.json: veltrax:badScenario: the file is larger than 4 MiB' run huge.json -o out
  printf '{"build": 2, %s, %s, "T": [1%s]}' "$good" "$lin" "$(printf ', 0%.0s' {1..99})" >long.json
  expect 1 "long.json: veltrax:badScenario: top level: 'T' must have at most 64 elements, got 100" run long.json -o out
  expect 1 'veltrax:badScenario: cannot read the file: it is a folder' run . -o out

  # A call the gateway rejects: its identifier and message; the calls before it are kept.
  cat >second_bad.json <<EOF
{"build": 2, $good, $lin,
 "calls": [{}, {"params": [30, 0.1, 4, 2, 7, 3, 0, 10, 0.1]}, {}]}
EOF
  expect 1 'second_bad.json: call 2: veltrax:badOrder: a_order (parameter 5) must be between 0 and 6, got 7' \
    run second_bad.json -o rejected
  [[ -s rejected/call1_trajectory.csv && ! -e rejected/call2_time.csv && ! -e rejected/call3_time.csv ]] ||
    fail "rejected call: wrong files: $(folders rejected)"
  grep -q '"ok": false' rejected/summary.json && grep -q '"id": "veltrax:badOrder"' rejected/summary.json &&
    grep -q '"call": 2' rejected/summary.json || fail "rejected call: summary.json: $(cat rejected/summary.json)"

  # A named value the simulation rejects: its identifier, the field's name.
  local named='"settings": {"samples": 30, "control_weight": 0.1, "dead_time": 4, "u_max": 2, "a_order": 3, "b_order": 3,
               "noise": {"kind": "gaussian", "amplitude": 0.01}, "rk4_steps": 10, "rk4_step": 0.1}'
  echo "{\"build\": 2, $named, $lin, \"curve\": [0.404, 0.505, 2.98, 4.0], \"calls\": [{}, {\"settings\": {\"dead_time\": 8}}]}" >named_bad.json
  expect 1 'named_bad.json: call 2: veltrax:badDeadTime: settings.dead_time + settings.b_order must be at most 9, got 8 + 3' \
    run named_bad.json -o named_rejected
  grep -q '"gaussian_noise": true' named_rejected/summary.json || fail "named noise kind: $(cat named_rejected/summary.json)"

  # Results that cannot be written.
  scenario small 5
  touch a_file
  expect 1 "veltrax:writeFailed: cannot write 'a_file'" run small.json -o a_file
  expect 1 "veltrax:writeFailed: cannot write 'a_file/sub'" run small.json -o a_file/sub

  # Bad command lines.
  expect 2 'A subcommand is required'
  expect 2 '--output is required' run small.json
  expect 2 'scenario is required' run -o out
  expect 2 '--threads: Value -1 not in range' run small.json -o out --threads -1
  expect 2 'The following argument was not expected: --frob' run small.json -o out --frob
  expect 0 '' run small.json -o out
  # Success says in one line what ran and where the results are.
  [[ $("$VELTRAX" run small.json -o out) == "ran small.json (1 call): results in out" ]] ||
    fail "run: $("$VELTRAX" run small.json -o out)"
}

test_forms() {
  # The example scenarios in the named form and written positionally
  # (tests/cli/positional) give the same bytes.
  mkdir named positional
  cp "$VELTRAX_SOURCE_DIR/tests/cli/positional/"*.json positional/
  local f
  for f in positional/*.json; do
    cp "$examples/${f#positional/}" named/ 2>/dev/null || cp "$VELTRAX_SOURCE_DIR/examples/populations/${f#positional/}" named/
  done
  [[ $(ls named) == "$(ls positional)" ]] || fail "the forms hold other files: $(ls named) / $(ls positional)"
  local form
  for form in named positional; do
    (cd "$form" && "$VELTRAX" batch *.json -o "../out_$form" --threads 2 >/dev/null 2>"../$form.err") ||
      fail "$form: $(cat "$form.err")"
  done
  # The same bytes but summary.json's "description", which each file words its own way.
  diff -r -I '^  "description": ' out_named out_positional >/dev/null ||
    fail "named and positional examples differ: $(diff -rq -I '^  "description": ' out_named out_positional)"
}

test_shard() {
  local name
  for name in c a e b d; do scenario "$name" 5; done
  # Files ordered by name (a..e); file i goes to shard i mod 3 + 1, however they are listed.
  local want=('' 'a d ' 'b e ' 'c ') k
  for k in 1 2 3; do
    expect 0 '' batch c.json a.json e.json b.json d.json -o "shard$k" --shard "$k/3"
    [[ $(folders "shard$k") == "${want[k]}" ]] || fail "--shard $k/3 ran $(folders "shard$k"), expected ${want[k]}"
  done
  expect 0 '' batch ./d.json ./c.json ./b.json ./a.json ./e.json -o reversed --shard 1/3
  [[ $(folders reversed) == "a d " ]] || fail "--shard 1/3 depends on the order given: $(folders reversed)"

  # The shards together are the whole batch.
  expect 0 '' batch a.json b.json c.json d.json e.json -o whole
  mkdir union && cp -r shard1/* shard2/* shard3/* union/
  diff -r whole union >/dev/null || fail "shards 1..3 of 3 differ from the whole batch"

  # A shard that gets no file.
  expect 0 '' batch a.json b.json -o none --shard 3/3
  [[ -z $(folders none) ]] || fail "--shard 3/3 of 2 files ran $(folders none)"

  # The tool reads K/N itself: one message, whatever the option parser's wording.
  local bad
  for bad in 0/3 4/3 1/0 -1/2 x/3 3 1/2/3 +1/2; do
    expect 2 "veltrax batch: veltrax:badArguments: --shard: K/N needs whole numbers 1 <= K <= N, got '$bad'" \
      batch a.json -o x --shard "$bad"
  done

  # Two files that would share a result folder.
  mkdir -p other && scenario other/a 5
  expect 2 "would share the result folder 'a'" batch a.json other/a.json -o x
  cp a.json ..json
  expect 2 "'..json' would write its results to '.', which is not a folder name" batch a.json ..json -o x
}

test_batch() {
  # Each scenario of a batch gives exactly what 'veltrax run' gives (the
  # examples of one run each; 'run' refuses populations).
  mkdir examples && cp "$examples"/{drug_model,linear_third_order,two_calls}.json examples/
  expect 0 '' batch examples/*.json -o batch --threads 2
  local f name
  for f in examples/*.json; do
    name=$(basename "$f" .json)
    expect 0 '' run "$f" -o "single/$name"
    diff -r "single/$name" "batch/$name" >/dev/null || fail "batch result of $name differs from veltrax run"
  done
  [[ $(folders batch) == "drug_model linear_third_order two_calls " ]] || fail "batch folders: $(folders batch)"

  # A rejected call fails its scenario only.
  scenario good 5
  sed 's/\[5, 0.1, 4, 2, 3, 3/[5, 0.1, 4, 2, 7, 3/' good.json >rejected.json
  expect 1 'rejected.json: call 1: veltrax:badOrder: a_order (parameter 5) must be between 0 and 6, got 7' \
    batch good.json rejected.json -o mixed
  [[ -s mixed/good/call1_time.csv ]] || fail "batch with a rejected call: the good scenario was not written"
  [[ $("$VELTRAX" batch good.json rejected.json -o mixed --shard 2/2 2>/dev/null) == "ran 1 run of slice 2/2 (1 failed): results in mixed" ]] ||
    fail "batch: $("$VELTRAX" batch good.json rejected.json -o mixed --shard 2/2 2>&1)"
  grep -q '"ok": false' mixed/rejected/summary.json || fail "batch: rejected scenario not marked in summary.json"

  # An unreadable scenario file stops the batch before anything runs.
  printf '{"build": 2,' >broken.json
  expect 1 'broken.json: veltrax:badScenario: not valid JSON' batch good.json broken.json -o stopped
  [[ -e stopped ]] && fail "batch with a broken file ran: $(folders stopped)"
  # A one-run scenario's folder that holds the user's files is refused before anything runs.
  mkdir -p foreign/good && touch foreign/good/notes.txt
  expect 1 "veltrax:writeFailed: cannot write 'foreign/good': it holds 'notes.txt'" batch good.json -o foreign

  # A folder of scenario files may take their results: its manifest is no scenario.
  mkdir both && cp good.json both/
  expect 0 '' batch both/*.json -o both
  expect 0 '' batch both/*.json -o both
  # A name of the sweep's or the report's own files is refused before anything runs.
  cp good.json sweep.csv.json
  expect 2 "'sweep.csv.json' would write its results to 'sweep.csv', which is the name of a file of the sweep or its report" \
    batch good.json sweep.csv.json -o named
  [[ -e named ]] && fail "batch with a report's name ran: $(folders named)"
  # What a killed batch left behind goes with the next batch into the folder.
  cat >pop.json <<EOF
{"build": 2, "params": [5, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1], "model": {"body_mass": 70, "cardiac_output": 6.48},
 "curve": [50, 0.505, 2.98, 4.0], "population": {"size": 2, "seed": 1, "body_mass": {"dist": "normal", "mean": 70, "sd": 5}}}
EOF
  mkdir -p left/pop/.individual_000001.tmp-k1lled left/.good.tmp-k1lled
  touch -d '1 hour ago' left/pop/.individual_000001.tmp-k1lled left/.good.tmp-k1lled
  expect 0 '' batch good.json pop.json -o left
  no_leftovers left "batch after a killed one"
  no_leftovers left/pop "batch after a killed one"
}

test_inherit() {
  # Top-level fields are defaults; a call's process replaces the inherited
  # one, "T": null drops an inherited filter. Same results as written out.
  cat >inherit.json <<EOF
{"build": 3, "params": [40, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1], "curve": [0.404, 0.505, 2.98, 4.0],
 "model": {"body_mass": 70, "cardiac_output": 6.48}, "T": [1, -0.8, 0.16],
 "calls": [{"numerator": [1], "denominator": [1, 3, 3, 1], "T": null},
           {},
           {"params": [40, 0.2, 2, 0, 3, 3, 0.005, 10, 0.1, 0], "numerator": [70, 6.48], "denominator": []}]}
EOF
  cat >explicit.json <<EOF
{"build": 3, "calls": [
  {"params": [40, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1], "curve": [0.404, 0.505, 2.98, 4.0],
   "numerator": [1], "denominator": [1, 3, 3, 1]},
  {"params": [40, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1], "curve": [0.404, 0.505, 2.98, 4.0],
   "model": {"body_mass": 70, "cardiac_output": 6.48}, "T": [1, -0.8, 0.16]},
  {"params": [40, 0.2, 2, 0, 3, 3, 0.005, 10, 0.1, 0], "curve": [0.404, 0.505, 2.98, 4.0],
   "model": {"body_mass": 70, "cardiac_output": 6.48}, "T": [1, -0.8, 0.16]}]}
EOF
  expect 0 '' run inherit.json -o inherit
  expect 0 '' run explicit.json -o explicit
  diff -r -x summary.json -x metrics.csv inherit explicit >/dev/null || fail "inherited fields give other results than written out"
  grep -q '"gaussian_noise": true' inherit/summary.json || fail "10 parameters: not Gaussian in summary.json"
}

test_state() {
  # Two calls in one run equal the first call, its state saved, and the
  # second call started from it; a batch branches each scenario from it.
  local first='{"params": [25, 0.1, 3, 2, 3, 3, 0.02, 10, 0.5, 0]}'
  local second='{"params": [15, 0.3, 2, 2, 2, 3, 0.03, 10, 0.5], "T": [1, -1.2, 0.36]}'
  local top='"build": 3, "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4.0]'
  echo "{$top, \"calls\": [$first, $second]}" >whole.json
  echo "{$top, \"calls\": [$first]}" >first.json
  echo "{$top, \"calls\": [$second]}" >second.json
  echo "{$top, \"calls\": [$second, $first]}" >other.json
  expect 0 '' run whole.json -o whole
  expect 0 '' run first.json -o first --save-state state.bin
  cp state.bin saved.bin
  expect 0 '' run second.json -o second --load-state state.bin --save-state state.bin
  local out
  for out in time trajectory theta search sums; do
    cmp -s whole/call2_$out.csv second/call1_$out.csv || fail "resumed call: call2_$out.csv differs from the whole run"
  done
  cmp -s state.bin saved.bin && fail "--save-state over --load-state: the file was not replaced"
  ls state.bin.* >/dev/null 2>&1 && fail "a temporary state file is left: $(ls state.bin.*)"

  expect 0 '' batch second.json other.json -o branches --load-state saved.bin
  expect 0 '' run other.json -o other --load-state saved.bin
  diff -r second branches/second >/dev/null && diff -r other branches/other >/dev/null ||
    fail "batch --load-state differs from run --load-state"

  # Bad state files: nothing runs, nothing is written.
  echo '{"build": 2, "params": [5, 0.1, 4, 2, 3, 3, 0, 10, 0.1], "numerator": [1], "denominator": [1, 3, 3, 1],
 "curve": [0.404, 0.505, 2.98, 4.0]}' >base.json
  head -c 100 saved.bin >short.bin
  expect 1 'saved.bin: veltrax:badSnapshot: snapshot belongs to veltrax3, not to veltrax2' \
    run base.json -o mismatch --load-state saved.bin
  expect 1 'short.bin: veltrax:badSnapshot: snapshot is truncated: 100 of ' run second.json -o short --load-state short.bin
  expect 1 "missing.bin: veltrax:fileError: cannot read 'missing.bin': No such file or directory" \
    run second.json -o missing --load-state missing.bin
  expect 1 "saved.bin: veltrax:badSnapshot: snapshot belongs to veltrax3, scenario 'base.json' runs veltrax2" \
    batch second.json base.json -o mixed --load-state saved.bin
  [[ -e mismatch || -e short || -e missing || -e mixed ]] && fail "a run with a bad state file wrote results"

  # The final state is saved only when every call ran, and only whole.
  sed 's/"params": \[25, 0.1, 3/"params": [25, 0.1, 30/' whole.json >rejected.json
  cp saved.bin kept.bin
  expect 1 'kept.bin: veltrax:stateNotSaved: not written: call 1 failed' run rejected.json -o rejected --save-state kept.bin
  cmp -s saved.bin kept.bin || fail "a failed run replaced the state file"
  expect 1 "veltrax:fileError: cannot write 'nowhere/s.bin': No such file or directory" \
    run first.json -o nowhere_results --save-state nowhere/s.bin

  # A link is followed, a named pipe written through, a folder refused:
  # none of them becomes a regular file.
  ln -s linked.bin link.bin
  mkfifo pipe
  timeout 20 cat pipe >piped.bin &
  local reader=$!
  expect 0 '' run first.json -o via_link --save-state link.bin
  expect 0 '' run first.json -o via_pipe --save-state pipe
  wait "$reader"
  [[ -L link.bin && -p pipe ]] && cmp -s linked.bin saved.bin && cmp -s piped.bin saved.bin ||
    fail "--save-state through a link and a pipe: $(ls -l link.bin pipe linked.bin piped.bin)"
  # Sent to standard output, the snapshot stays whole: the closing line goes to stderr.
  "$VELTRAX" run first.json -o via_stdout --save-state /dev/stdout 2>stdout.err | cat >stdout.bin
  cmp -s stdout.bin saved.bin && grep -q '^ran ' stdout.err ||
    fail "--save-state /dev/stdout: $(ls -l stdout.bin saved.bin) $(cat stdout.err)"
  mkdir folder.bin
  expect 1 "veltrax:fileError: cannot write 'folder.bin': it is a folder" run first.json -o via_folder --save-state folder.bin
}

test_population() {
  # Set-point steps and ramps reach every call, a call's own replaces the
  # top level's, null brings back the built-in schedule; batch runs as run.
  cat >steps.json <<EOF
{"build": 2, "params": [30, 0.1, 2, 2, 3, 3, 0.01, 5, 0.1], "numerator": [1], "denominator": [1, 3, 3, 1],
 "curve": [0.404, 0.505, 2.98, 4.0], "setpoint": [[0, 0.5], [1, 0.5, "ramp"], [2, 0.7], [3, 0.8, "after"]], "seed": 3,
 "calls": [{}, {"setpoint": [[0, 0.6]]}, {"setpoint": null}]}
EOF
  expect 0 '' run steps.json -o steps
  local setpoints c
  setpoints=$(for c in 1 2 3; do cut -d, -f1 "steps/call${c}_trajectory.csv" | sed -n '2p;5p;8p;9p'; done | tr '\n' ' ')
  [[ $setpoints == "0.5 0.59999999999999998 0.69999999999999996 0.80000000000000004 0.59999999999999998 0.59999999999999998 0.59999999999999998 0.59999999999999998 0.59999999999999998 0.59999999999999998 0.59999999999999998 0.59999999999999998 " ]] ||
    fail "set-points of the three calls: $setpoints"
  grep -q '"seed": 3' steps/summary.json && grep -q '"ramp"' steps/summary.json || fail "summary.json lacks the seed or the steps"
  expect 0 '' batch steps.json -o steps_batch
  diff -r steps steps_batch/steps >/dev/null || fail "batch with a schedule and a seed differs from run"
  # Seed 1 is the sequence at load, another seed another sequence.
  scenario plain 30
  mkdir one two && sed 's/^{/{"seed": 1, /' plain.json >one/plain.json && sed 's/^{/{"seed": 2, /' plain.json >two/plain.json
  expect 0 '' batch plain.json -o unseeded
  expect 0 '' batch one/plain.json -o seeded1
  expect 0 '' batch two/plain.json -o seeded2
  diff -r -x summary.json unseeded seeded1 >/dev/null || fail "seed 1 differs from no seed"
  cmp -s unseeded/plain/call1_search.csv seeded2/plain/call1_search.csv && fail "seed 2 gives the noise of seed 1"

  # A population of 7 beside a plain scenario: shards of the flattened run
  # list together give the whole sweep; an individual that the simulation
  # rejects is a failed run with its reason, never drawn again.
  cat >pop.json <<EOF
{"build": 2, "params": [12, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1], "model": {"body_mass": 70, "cardiac_output": 6.48},
 "curve": [50, 0.505, 2.98, 4.0],
 "population": {"size": 7, "seed": 42, "body_mass": {"dist": "normal", "mean": 70, "sd": 12, "min": 40},
                "dead_time": {"dist": "uniform", "low": 1.5, "high": 10}}}
EOF
  expect 1 'pop.json: individual 7: call 1: veltrax:badDeadTime' batch pop.json plain.json -o whole --threads 2
  local k
  for k in 1 2 3; do "$VELTRAX" batch plain.json pop.json -o shards --threads 1 --shard "$k/3" 2>/dev/null; done
  diff -r whole shards >/dev/null || fail "the shards of a population sweep differ from the whole sweep"
  # Runs in order plain, pop 1 .. 7: slice 1 of 3 holds runs 0, 3 and 6.
  "$VELTRAX" batch pop.json plain.json -o slice1 --shard 1/3 2>/dev/null
  [[ $(folders slice1) == "plain pop " && $(folders slice1/pop) == "individual_000003 individual_000006 " ]] ||
    fail "slice 1 of 3: $(folders slice1) / $(folders slice1/pop)"
  [[ $(ls shards/pop | wc -l) == 7 && $(tr -d ' \n' <whole/sweep.json) == '{"sweep":1,"scenarios":[{"name":"plain"},{"name":"pop","individuals":7}]}' ]] ||
    fail "population sweep: $(ls shards/pop) $(cat whole/sweep.json)"
  grep -q '"reason": "dead time + b_order' whole/pop/individual_000007/summary.json &&
    [[ $(sed -n 2p whole/pop/individual_000007/metrics.csv) == pop,7,1,failed,veltrax:badDeadTime,* ]] ||
    fail "invalid individual: $(cat whole/pop/individual_000007/summary.json)"
  # One individual with run, as batch runs it; run refuses the whole population.
  expect 0 '' run pop.json --individual 3 -o three
  diff -r three whole/pop/individual_000003 >/dev/null || fail "run --individual 3 differs from the batch's individual 3"
  expect 2 "pop.json: veltrax:badArguments: the scenario declares a population of 7 individuals: run them all with 'veltrax batch'" \
    run pop.json -o all
  expect 2 "veltrax:badArguments: --individual: K must be a whole number from 1 to the population's size, got '0'" \
    run pop.json --individual 0 -o zero
  # A draw that finds no value within its bounds is NaN, as every non-finite value.
  sed 's/"min": 40}/"min": 400}/' pop.json >nodraw.json
  "$VELTRAX" run nodraw.json --individual 1 -o nodraw 2>/dev/null
  grep -q '"body_mass": "NaN"' nodraw/summary.json || fail "failed draw: $(grep -A3 covariates nodraw/summary.json)"
  expect 1 "describes another sweep" batch pop.json -o whole
}

is_png() { [[ $(head -c 8 "$1" | od -An -tx1 | tr -d ' \n') == 89504e470d0a1a0a ]]; }

test_plot() {
  # No gnuplot: a clear error, the results are still written.
  local err
  err=$(env PATH=/nonexistent "$VELTRAX" run "$examples/linear_third_order.json" -o nognuplot --plot 2>&1)
  [[ $? == 1 && $err == *': veltrax:plotFailed: gnuplot not found on the PATH'* ]] ||
    fail "missing gnuplot: $err"
  [[ -s nognuplot/call1_trajectory.csv && -s nognuplot/summary.json ]] || fail "missing gnuplot: results not written"

  # gnuplot fails: its messages are kept in plots.log.
  mkdir fakebin && printf '#!/bin/sh\necho "line 3: boom" >&2\nexit 3\n' >fakebin/gnuplot && chmod +x fakebin/gnuplot
  err=$(env PATH="$work/fakebin:$PATH" "$VELTRAX" run "$examples/linear_third_order.json" -o badgnuplot --plot 2>&1)
  [[ $? == 1 && $err == *"veltrax:plotFailed: gnuplot failed with exit status 3; see badgnuplot/plots.log" ]] ||
    fail "failing gnuplot: $err"
  grep -q boom badgnuplot/plots.log || fail "failing gnuplot: plots.log lacks its messages"

  command -v gnuplot >/dev/null || { echo "gnuplot not installed: rendering not tested"; return; }
  expect 0 '' run "$examples/two_calls.json" -o plots --plot
  local png
  for png in call1_trajectory call1_theta call2_trajectory call2_theta; do
    is_png "plots/$png.png" || fail "plots/$png.png is not a PNG"
  done
  # No plot for a call without sample periods, no theta plot without estimates.
  cat >edge.json <<EOF
{"build": 2, "numerator": [1], "denominator": [1, 3, 3, 1], "curve": [0.404, 0.505, 2.98, 4.0],
 "calls": [{"params": [0, 0.1, 4, 2, 3, 3, 0, 10, 0.1]}, {"params": [5, 0.1, 4, 2, 0, 0, 0, 10, 0.1]}]}
EOF
  expect 0 '' run edge.json -o edge --plot
  [[ $(cd edge && ls *.png | tr '\n' ' ') == "call2_trajectory.png " ]] || fail "edge plots: $(folders edge)"
}

test_progress() {
  command -v script >/dev/null || { echo "script(1) not installed"; exit 77; }
  # Containers and chroots may have no pseudo-terminals.
  script -qec true /dev/null >/dev/null 2>&1 || { echo "no pseudo-terminal can be opened"; exit 77; }
  scenario long 300
  # Quiet when stderr is not a terminal.
  expect 0 '' run long.json -o quiet
  # A bar on a terminal for a run of more than a second.
  local screen
  screen=$(VELTRAX_PROGRESS_DELAY_MS=0 script -qec "\"$VELTRAX\" run long.json -o shown" /dev/null)
  [[ $screen == *"sample periods"* && $screen == *"/300"* ]] || fail "no progress bar on a terminal: $screen"
  diff -r quiet shown >/dev/null || fail "results differ with the progress bar"
}

# Every sh block of docs/cli.md, run in order in one folder with veltrax on
# the PATH: job-array blocks once per task, the GNU parallel block where it is
# installed. Each sweep into results/ must equal the whole batch.
test_docs() {
  mkdir bin examples && ln -s "$VELTRAX" bin/veltrax && cp -r "$examples" examples/scenarios &&
    cp -r "$VELTRAX_SOURCE_DIR/examples/populations" examples/populations
  export PATH="$work/bin:$PATH"
  awk '/^```sh$/ { n++; inside = 1; next } /^```/ { inside = 0; next } inside { print > ("block" n ".sh") }' \
    "$VELTRAX_SOURCE_DIR/docs/cli.md"
  local n block tasks t
  for ((n = 1; ; n++)); do
    block=block$n.sh
    [[ -f $block ]] || break
    if grep -q '^#SBATCH --array=' "$block"; then
      tasks=$(sed -n 's/^#SBATCH --array=\([0-9]*\)-\([0-9]*\).*/\1 \2/p' "$block")
      for t in $(seq $tasks); do
        SLURM_ARRAY_TASK_ID=$t sh "$block" >"$block.log" 2>&1 || fail "docs block $n, task $t: $(cat "$block.log")"
      done
    elif grep -q '^parallel ' "$block" && ! parallel --version 2>/dev/null | grep -q 'GNU parallel'; then
      echo "GNU parallel not installed: docs block $n not run"
      continue
    else
      sh "$block" >"$block.log" 2>&1 </dev/null || fail "docs block $n: $(cat "$block.log")"
    fi
    [[ -d results ]] && mv results "results.$n"
  done
  ((n > 4)) || fail "only $((n - 1)) sh blocks in docs/cli.md"

  ls results.* >/dev/null 2>&1 || fail "no docs block wrote results/"
  "$VELTRAX" batch sweep/*.json -o whole || fail "batch of the docs sweep failed"
  [[ $(folders whole | wc -w) == 6 ]] || fail "docs sweep: $(folders whole)"
  local r
  for r in results.*; do
    diff -r whole "$r" >/dev/null || fail "docs: $r (sharded) differs from the whole batch"
  done
  [[ $(folders out/examples) == "drug_model linear_third_order stimulation two_calls " ]] || fail "docs batch: $(folders out/examples)"
  [[ $(ls patients/patients | wc -l) == 20 && -s patients/sweep.csv && -s patient7/summary.json ]] ||
    fail "docs population: $(folders patients) $(folders patient7)"
  if command -v gnuplot >/dev/null; then
    is_png out/two_calls/call2_theta.png || fail "docs run --plot made no plots"
  fi
}


# No hidden folders (.NAME.tmp-*) left in folder $1.
no_leftovers() {
  local left
  left=$(cd "$1" && ls -A | grep '^\.' | tr '\n' ' ')
  [[ -z $left ]] || fail "$2: left behind in $1: $left"
}

# wait_for FILE: up to 60 s for FILE to appear.
wait_for() {
  local i
  for ((i = 0; i < 600; i++)); do
    [[ -e $1 ]] && return 0
    sleep 0.1
  done
  return 1
}

# simulating PID: waits (up to 60 s) until process PID has used 0.3 s of CPU
# time, so that it is inside a long call.
simulating() {
  local i ticks
  for ((i = 0; i < 600; i++)); do
    ticks=$(awk '{ print $14 }' "/proc/$1/stat" 2>/dev/null) || return 1
    ((ticks >= 30)) && return 0
    sleep 0.1
  done
  return 1
}

test_signals() {
  # A batch, one scenario at a time: SIGINT during the third keeps the two
  # that finished, writes nothing of the third (whose earlier result stays
  # whole), and ends by the signal.
  scenario a 20
  scenario b 20
  scenario z_long 200000
  scenario z_short 20
  "$VELTRAX" run z_short.json -o out/z_long && cp -r out/z_long earlier || fail "run z_short"
  set -m  # a background job of its own, which SIGINT reaches
  "$VELTRAX" batch a.json b.json z_long.json -o out --threads 1 2>batch.err &
  local pid=$! rc
  set +m
  wait_for out/b/summary.json || fail "batch: b never finished"
  simulating "$pid" || fail "batch: z_long never ran"
  kill -INT "$pid"
  wait "$pid"
  rc=$?
  [[ $rc == 130 ]] || fail "batch after SIGINT: exit $rc, expected 130: $(cat batch.err)"
  grep -q 'z_long.json: veltrax:interrupted: stopped by SIGINT; no results written' batch.err ||
    fail "batch after SIGINT: $(cat batch.err)"
  expect 0 '' run a.json -o single_a
  diff -r single_a out/a >/dev/null || fail "batch after SIGINT: a is not complete"
  diff -r earlier out/z_long >/dev/null || fail "batch after SIGINT: the earlier z_long result changed"
  no_leftovers out "batch after SIGINT"

  # SIGTERM during run: nothing written, exit 143.
  set -m
  "$VELTRAX" run z_long.json -o single_long 2>run.err &
  pid=$!
  set +m
  simulating "$pid" || fail "run: never ran"
  kill -TERM "$pid"
  wait "$pid"
  rc=$?
  [[ $rc == 143 ]] || fail "run after SIGTERM: exit $rc, expected 143: $(cat run.err)"
  grep -q 'z_long.json: call 1: veltrax:interrupted: stopped by SIGTERM' run.err || fail "run after SIGTERM: $(cat run.err)"
  [[ -e single_long ]] && fail "run after SIGTERM wrote single_long"
  no_leftovers . "run after SIGTERM"

  # A population of 10^6: the batch starts without a look at every run's
  # folder, and SIGTERM soon after the start ends it at once.
  cat >million.json <<EOF
{"build": 2, "params": [5, 0.1, 2, 0, 3, 3, 0.005, 10, 0.1], "model": {"body_mass": 70, "cardiac_output": 6.48},
 "curve": [50, 0.505, 2.98, 4.0], "population": {"size": 1000000, "seed": 1}}
EOF
  set -m
  "$VELTRAX" batch million.json -o million 2>million.err &
  pid=$!
  set +m
  (sleep 30 && kill -KILL "$pid") 2>/dev/null &
  local watchdog=$!
  sleep 2
  kill -TERM "$pid"
  wait "$pid"
  rc=$?
  kill "$watchdog" 2>/dev/null
  [[ $rc == 143 ]] || fail "batch of 10^6 after SIGTERM: exit $rc, expected 143: $(head -3 million.err)"
  no_leftovers million/pop "batch of 10^6 after SIGTERM"
  rm -rf million
}

test_limits() {
  # A thread limit (RLIMIT_NPROC counts threads, except for root): the
  # search team and the batch go on with the threads that start.
  [[ $(id -u) == 0 ]] && command -v setpriv >/dev/null && command -v prlimit >/dev/null ||
    { echo "needs root, setpriv and prlimit"; exit 77; }
  local as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups prlimit --nproc=2)
  chmod 777 "$work"
  if "${as_nobody[@]}" "$VELTRAX" --version >/dev/null 2>&1 &&
    ! "${as_nobody[@]}" python3 -c 'import threading, time
for i in range(2): threading.Thread(target=time.sleep, args=(1,)).start()' 2>/dev/null; then
    scenario s 60
    cp s.json t.json
    expect 0 '' run s.json -o free --threads 8
    expect 0 '' batch s.json t.json -o free_batch --threads 4
    "${as_nobody[@]}" "$VELTRAX" run s.json -o limited --threads 8 2>limited.err || fail "run under a thread limit: $(cat limited.err)"
    "${as_nobody[@]}" "$VELTRAX" batch s.json t.json -o limited_batch --threads 4 2>limited.err ||
      fail "batch under a thread limit: $(cat limited.err)"
    diff -r free limited >/dev/null && diff -r free_batch limited_batch >/dev/null ||
      fail "results under a thread limit differ"
  else
    echo "user nobody cannot run veltrax here, or the thread limit does not hold: not tested"
  fi

  # A bad VELTRAX_THREADS: one warning, the CPUs this process may run on.
  local err
  err=$(taskset -c 0 env VELTRAX_THREADS=abc "$VELTRAX" run "$examples/two_calls.json" -o warned 2>&1 >/dev/null)
  [[ $err == "warning: veltrax:badThreadCount: VELTRAX_THREADS='abc' is not a positive integer; using 1 thread (the CPU this process may run on)" ]] ||
    fail "bad VELTRAX_THREADS: $err"
}

# mount_small DIR SIZE [OPTIONS]: a tmpfs of SIZE at DIR, or false.
mount_small() {
  mkdir -p "$1" && mount -t tmpfs -o "size=$2${3:+,$3}" tmpfs "$1" 2>/dev/null && mounted+=("$1")
}

test_folders() {
  # A re-run replaces the earlier result folder whole: no stale call2_* or plots.
  scenario one 20
  expect 0 '' run "$examples/two_calls.json" -o res --plot
  expect 0 '' run one.json -o res
  [[ $(folders res) == "call1_search.csv call1_sums.csv call1_theta.csv call1_time.csv call1_trajectory.csv metrics.csv summary.json " ]] ||
    fail "re-run: $(folders res)"
  no_leftovers . "re-run"

  # What cannot take the results is refused before anything runs.
  scenario long 200000
  mkdir mine && touch mine/notes.txt a_file
  local target
  for target in mine a_file/sub .; do
    timeout 20 "$VELTRAX" run long.json -o "$target" 2>refused.err
    [[ $? == 1 ]] || fail "run -o $target: not refused at once: $(cat refused.err)"
  done
  grep -q "cannot write '.': it holds " refused.err || fail "run -o .: $(cat refused.err)"
  [[ -e mine/notes.txt ]] || fail "run -o mine removed a file of the user"
  timeout 20 "$VELTRAX" batch long.json -o a_file 2>refused.err
  [[ $? == 1 ]] || fail "batch -o a_file: not refused at once: $(cat refused.err)"

  if ! mount_small ro 64k ro; then
    echo "no tmpfs can be mounted here: the full and read-only disks are not tested"
    return
  fi
  timeout 20 "$VELTRAX" batch long.json -o ro/results 2>refused.err
  [[ $? == 1 ]] && grep -q "veltrax:writeFailed: cannot write 'ro/results': Read-only file system" refused.err ||
    fail "batch into a read-only folder: $(cat refused.err)"

  # A full disk: a clear error, the earlier result stays whole, nothing half-written.
  scenario big 300
  expect 0 '' run big.json -o size
  local kb
  kb=$(du -sk size | cut -f1)
  mount_small full "$((kb * 3 / 2))k" || fail "mount a small tmpfs"
  expect 0 '' run big.json -o full/res
  cp -r full/res kept
  expect 1 'No space left on device' run "$examples/two_calls.json" -o full/res
  diff -r kept full/res >/dev/null || fail "full disk: the earlier result changed"
  no_leftovers full "full disk"
}

case ${1:-} in
  errors | forms | inherit | shard | batch | population | plot | progress | docs | state | signals | limits | folders) "test_$1" ;;
  *) echo "usage: $0 errors|forms|inherit|shard|batch|population|plot|progress|docs|state|signals|limits|folders" >&2; exit 2 ;;
esac
if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "cli $1: all checks passed"
