"""python -m velkarin_view: the same program as velkarin-view."""

import sys

from velkarin_view.cli import main

sys.exit(main())
