"""The suite tests the installed package, whose plix/ holds the compiled plix._core.

`python -m pytest` puts the working directory first on sys.path, where the source folder
plix/ (without the compiled part) would shadow the installed package.
"""

import sys
from pathlib import Path

_SOURCE_ROOT = Path(__file__).resolve().parent.parent
sys.path[:] = [entry for entry in sys.path if Path(entry or ".").resolve() != _SOURCE_ROOT]
sys.modules.pop("plix", None)
