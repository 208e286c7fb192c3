"""``python -m plix``: the ``plix`` command."""

from plix.cli import main

raise SystemExit(main())
