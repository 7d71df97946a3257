"""velkarin-ros2 CONFIG.yaml [--ros-args ...]: the ROS 2 node for the motors the file names.

Exit status: 0 stopped by SIGINT, SIGTERM or the ROS context's shutdown (every motor disabled
first); 1 a bus could not be opened or the loop failed; 2 the command line or the file is wrong
(one line naming the key; nothing is opened)."""

from __future__ import annotations

import sys

PROG = "velkarin-ros2"
USAGE = f"usage: {PROG} CONFIG.yaml [--ros-args ...]"


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    ours = argv[:argv.index("--ros-args")] if "--ros-args" in argv else argv
    if len(ours) != 1 or ours[0].startswith("-"):
        print(USAGE if ours in (["-h"], ["--help"]) else f"{PROG}: {USAGE}",
              file=sys.stdout if ours in (["-h"], ["--help"]) else sys.stderr)
        return 0 if ours in (["-h"], ["--help"]) else 2
    from .config import ConfigError, load  # after the usage check: it imports velkarin
    try:
        config = load(ours[0])
    except ConfigError as e:
        print(f"{PROG}: {ours[0]}: {e}", file=sys.stderr)
        return 2
    except OSError as e:
        print(f"{PROG}: cannot read {ours[0]}: {e.strerror}", file=sys.stderr)
        return 2
    from .run import run  # rclpy loads in a second or so: only for a good file
    return run(config, ["velkarin-ros2", *argv[len(ours):]])


if __name__ == "__main__":
    sys.exit(main())
