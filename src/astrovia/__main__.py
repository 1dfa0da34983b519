"""``python -m astrovia``: the ``astrovia`` command line."""

from astrovia.cli import main

raise SystemExit(main())
