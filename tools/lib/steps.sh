# steps.sh: runs a script's steps one after another, each to its end whatever the others did,
# and sums them up: which passed, which failed (with their exit status), which were skipped
# because a step they need had not passed, and how long each took. Source it after setup.sh.
# shellcheck shell=bash

# step_needs[STEP]="OTHER..." names the steps STEP cannot run without: when one of them has not
# passed, STEP is skipped. A step named in $STEPS_PASSED_BEFORE (steps that passed in another
# process, such as the host's for the steps on the bus) counts as passed.
declare -A step_needs=()

declare -A step_outcome=() # STEP -> passed, failed (exit N) or skipped (needs ...)
step_records=()            # "STEP<TAB>OUTCOME<TAB>SECONDS<TAB>DEPTH", in the order run

step_passed() {
    [[ ${step_outcome[$1]:-} == passed || " ${STEPS_PASSED_BEFORE:-} " == *" $1 "* ]]
}

record_step() {
    step_outcome[$1]=$2
    step_records+=("$1"$'\t'"$2"$'\t'"$3"$'\t'"${4:-0}")
}

# Each step's output is also kept in $step_logs/STEP.log, so that the summary can repeat what a
# failed step said about its failures: a CI log is often read from its tail alone.
step_logs=${STEP_LOGS:-$root/build/steps}

# run_steps STEP...: each step is a shell function, run in a subshell with errexit on, so that
# the first failing command ends that step (and `fail` ends it with status 1) but not the run.
run_steps() {
    local name need missing started rc
    for name in "$@"; do
        missing=()
        for need in ${step_needs[$name]:-}; do
            step_passed "$need" || missing+=("$need")
        done
        if ((${#missing[@]} > 0)); then
            step "skipping $name: it needs ${missing[*]}, which did not pass"
            record_step "$name" "skipped (needs ${missing[*]})" 0
            continue
        fi
        step "step $name"
        started=$SECONDS
        mkdir -p -- "$step_logs"
        set +e
        (set -e; "$name") 2>&1 | tee -- "$step_logs/$name.log"
        rc=${PIPESTATUS[0]}
        set -e
        if ((rc == 0)); then
            record_step "$name" passed $((SECONDS - started))
        else
            step "$name failed (exit $rc); going on with the next step"
            record_step "$name" "failed (exit $rc)" $((SECONDS - started))
        fi
    done
}

# passed_steps: the names of the steps that passed, for $STEPS_PASSED_BEFORE.
passed_steps() {
    local name
    for name in "${!step_outcome[@]}"; do
        [[ ${step_outcome[$name]} != passed ]] || printf '%s ' "$name"
    done
}

# save_step_results FILE: the records, for load_step_results in another process.
save_step_results() {
    printf '%s\n' "${step_records[@]}" >"$1"
}

# load_step_results FILE: another process's records, shown one level deeper than ours.
load_step_results() {
    local name outcome seconds depth
    [[ -f $1 ]] || return 0
    while IFS=$'\t' read -r name outcome seconds depth; do
        record_step "$name" "$outcome" "$seconds" $((depth + 1))
    done <"$1"
}

duration_text() {
    local s=$1
    if ((s >= 60)); then printf '%d min %02d s' $((s / 60)) $((s % 60)); else printf '%d s' "$s"; fi
}

# failure_lines STEP: the lines of STEP's log that name a failure: pytest's short summary, a
# GoogleTest failure, a step's own `fail` message; at most 30. A step that ran steps of its own
# (its log has their summary) says nothing here: those steps speak for themselves.
failure_lines() {
    local log=$step_logs/$1.log
    [[ -f $log ]] && ! grep -q '^==> summary' -- "$log" || return 0
    grep -E "^(FAILED|ERROR) |^\[  FAILED  \] |^$prog: " -- "$log" | head -n 30 |
        sed 's/^/          /' || true
}

# step_summary SECONDS: one line per step, then the verdict; status 1 unless every step passed.
step_summary() {
    local record name outcome seconds depth bad=()
    step "summary, $(duration_text "$1") in all:"
    for record in "${step_records[@]}"; do
        IFS=$'\t' read -r name outcome seconds depth <<<"$record"
        printf '    %*s%-*s %-26s %s\n' $((2 * depth)) '' $((30 - 2 * depth)) "$name" "$outcome" \
            "$(duration_text "$seconds")"
        [[ $outcome == passed ]] || bad+=("$name")
        [[ $outcome != failed* ]] || failure_lines "$name"
    done
    if ((${#bad[@]} == 0)); then
        step "every step passed"
        return 0
    fi
    step "did not pass: ${bad[*]}"
    return 1
}
