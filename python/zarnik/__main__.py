"""``python -m zarnik``: the same commands as the ``zarnik`` console script."""

import sys

from .cli import main

sys.exit(main())
