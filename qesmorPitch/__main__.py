"""``python -m qesmorPitch``: the ``qesmor-pitch`` command."""
import sys

from ._cli import main

sys.exit(main())
