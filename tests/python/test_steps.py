"""tools/lib/steps.sh, the step runner of tools/test-all, on steps that pass, fail or need others:
every step runs after a failure, a step whose prerequisite did not pass is skipped, and the
summary names each step's outcome, repeats a failed step's failure lines, and fails the run
unless all passed."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# Each step says that it ran; `bad` fails part-way, as a failed command in a real step does
# (errexit ends the step there, not the run), and `failing` through setup.sh's fail.
STEPS = """
good() { echo "ran good"; }
bad() { echo "ran bad"; false; echo "bad went on after its failure"; }
failing() { echo "ran failing"; fail "no luck"; }
after() { echo "ran after"; }
"""


@pytest.mark.parametrize(
    ("steps", "needs", "passed_before", "ran", "outcomes"),
    [
        ("good after", "", "", "good after", {"good": "passed", "after": "passed"}),
        ("good bad failing after", "", "", "good bad failing after",
         {"good": "passed", "bad": "failed (exit 1)", "failing": "failed (exit 1)", "after": "passed"}),
        ("bad after good", "step_needs[after]=bad", "", "bad good",
         {"bad": "failed (exit 1)", "after": "skipped (needs bad)", "good": "passed"}),
        ("after", "step_needs[after]='good bad'", "good", "", {"after": "skipped (needs bad)"}),
        ("after", "step_needs[after]=good", "good", "after", {"after": "passed"}),
    ],
    ids=["all-pass", "failures-do-not-stop-the-run", "a-failed-prerequisite-skips",
         "prerequisites-from-another-run-missing", "prerequisites-from-another-run-passed"],
)  # fmt: skip
def test_every_step_runs_and_the_summary_names_each_outcome(steps, needs, passed_before, ran, outcomes,
                                                           tmp_path):
    script = (f"set -euo pipefail; root={ROOT}; source tools/lib/setup.sh; source tools/lib/steps.sh\n"
              f"{STEPS}\n{needs}\nrun_steps {steps}\nstep_summary 61")
    done = subprocess.run(["bash", "-c", script], cwd=ROOT, capture_output=True, text=True, timeout=30,
                          env={"PATH": "/usr/bin:/bin", "STEPS_PASSED_BEFORE": passed_before,
                               "STEP_LOGS": str(tmp_path)})
    bad = [name for name, outcome in outcomes.items() if outcome != "passed"]
    assert done.returncode == (1 if bad else 0), done.stdout + done.stderr
    out = done.stdout.splitlines()
    assert [line.removeprefix("ran ") for line in out if line.startswith("ran ")] == ran.split()
    lines = out[out.index("==> summary, 1 min 01 s in all:") + 1:-1]
    summary = [line for line in lines if not line.startswith(" " * 10)]
    assert {line[4:34].strip(): line[35:61].strip() for line in summary} == outcomes
    # What a failed step said of its failure, under it: `fail`'s message here.
    repeated = [line.strip() for line in lines if line.startswith(" " * 10)]
    assert repeated == (["bash: no luck"] if "failing" in outcomes else [])
    assert out[-1] == (f"==> did not pass: {' '.join(bad)}" if bad else "==> every step passed")
