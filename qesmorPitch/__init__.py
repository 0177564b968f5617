"""Frame-wise pitch (F0) estimation from the qesmor periodicity function.

:func:`track` turns samples into a :class:`PitchTrack`; :class:`PitchStream`
does it for audio arriving in chunks; :func:`track_files`
runs a batch of audio files in parallel; :func:`set_num_threads` sets how
many threads one call computes on. The numeric work is done by the
compiled module :mod:`qesmorPitch.cy_impl`.
"""

__version__ = "0.1.0"

# Run from a source checkout (``python -m pytest`` puts it first on sys.path)
# this directory holds only the Python files; the compiled modules are in the
# installed copy of the package, which this makes part of the package too.
from pkgutil import extend_path

__path__ = extend_path(__path__, __name__)
del extend_path

from ._options import DEFAULTS, Options
from ._track import PitchTrack, track
from ._batch import FileResult, track_files
from ._stream import PitchStream
from ._threads import get_num_threads, set_num_threads

__all__ = ["DEFAULTS", "FileResult", "Options", "PitchStream", "PitchTrack", "get_num_threads",
           "set_num_threads", "track", "track_files", "__version__"]
