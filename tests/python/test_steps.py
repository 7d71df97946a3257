"""tools/lib/steps.sh, the step runner of tools/test-all, on steps that pass, fail or need others:
every step runs after a failure, a step whose prerequisite did not pass is skipped, and the
summary names each step's outcome and fails the run unless all passed."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

# Steps for the runner: each says that it ran, and `bad` fails part-way, as a failed command in
# a real step does (errexit ends the step there, not the run).
STEPS = """
good() { echo "ran good"; }
bad() { echo "ran bad"; false; echo "bad went on after its failure"; }
failing() { echo "ran failing"; fail "no luck"; }
after() { echo "ran after"; }
"""


def run(steps: str, needs: str = "", passed_before: str = "", before: str = "",
        after: str = "") -> subprocess.CompletedProcess[str]:
    """run_steps STEPS and the summary in a script of their own; `before` and `after` are more
    lines of the script around them."""
    script = (f"set -euo pipefail; root={ROOT}; source tools/lib/setup.sh; source tools/lib/steps.sh\n"
              f"{STEPS}\n{needs}\n{before}\nrun_steps {steps}\n{after}\nstep_summary 61")
    return subprocess.run(["bash", "-c", script], cwd=ROOT, capture_output=True, text=True, timeout=30,
                          env={"PATH": "/usr/bin:/bin", "STEPS_PASSED_BEFORE": passed_before})


def summary(out: str) -> dict[str, str]:
    lines = out[out.index("==> summary, 1 min 01 s in all:\n"):].splitlines()[1:]
    return {line.split()[0]: " ".join(line.split()[1:-2]) for line in lines if line.startswith("    ")}


@pytest.mark.parametrize(
    ("steps", "needs", "passed_before", "ran", "outcomes", "status"),
    [
        ("good after", "", "", ["good", "after"], {"good": "passed", "after": "passed"}, 0),
        ("good bad failing after", "", "", ["good", "bad", "failing", "after"],
         {"good": "passed", "bad": "failed (exit 1)", "failing": "failed (exit 1)", "after": "passed"}, 1),
        ("bad after good", "step_needs[after]=bad", "", ["bad", "good"],
         {"bad": "failed (exit 1)", "after": "skipped (needs bad)", "good": "passed"}, 1),
        ("after", "step_needs[after]='good bad'", "good", [], {"after": "skipped (needs bad)"}, 1),
        ("after", "step_needs[after]=good", "good", ["after"], {"after": "passed"}, 0),
    ],
    ids=["all-pass", "failures-do-not-stop-the-run", "a-failed-prerequisite-skips",
         "prerequisites-from-another-run-missing", "prerequisites-from-another-run-passed"],
)  # fmt: skip
def test_every_step_runs_and_the_summary_names_each_outcome(steps, needs, passed_before, ran,
                                                            outcomes, status):
    done = run(steps, needs, passed_before)
    assert done.returncode == status, done.stdout + done.stderr
    assert [line.removeprefix("ran ") for line in done.stdout.splitlines() if line.startswith("ran ")] == ran
    assert "bad went on" not in done.stdout
    assert summary(done.stdout) == outcomes
    verdict = done.stdout.splitlines()[-1]
    bad = [name for name, outcome in outcomes.items() if outcome != "passed"]
    assert verdict == (f"==> did not pass: {' '.join(bad)}" if bad else "==> every step passed")


def test_another_runs_steps_show_in_the_summary_one_level_deeper(tmp_path):
    results = tmp_path / "inner"
    inner = run("good bad", after=f"save_step_results {results}")
    assert inner.returncode == 1
    outer = run("after", before=f"load_step_results {results}")
    assert "\n      good " in outer.stdout and "\n      bad " in outer.stdout
    assert summary(outer.stdout) == {"good": "passed", "bad": "failed (exit 1)", "after": "passed"}
