"""Frame-wise pitch (F0) estimation from the qesmor periodicity function.

The numeric work is done by the compiled module :mod:`qesmorPitch.cy_impl`.
"""

__version__ = "0.1.0"
