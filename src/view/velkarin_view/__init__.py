"""velkarin-view: a page served from the robot computer to tune and watch Damiao motors: live
plots of every sample, the MIT fields and a signal generator per motor, the register table, a
stop that always works, recordings as CSV, and a listen-only watch mode.

`python -m velkarin_view --help` (or `velkarin-view --help`) lists the options.
"""
