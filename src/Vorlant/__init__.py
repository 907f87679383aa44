"""Vorlant: in-memory RGB images with exact PNG and BMP round trips.

The native module ``Vorlant.tavrel_ext`` holds everything: the ``Tavrel``
image class and the PNG and BMP readers and writers. ``Tavrel`` is also
available from the package itself: ``from Vorlant import Tavrel``.
"""

from .tavrel_ext import Tavrel as Tavrel

__all__ = ["Tavrel", "__version__"]

# The one place the version is written: pyproject.toml reads it from here.
__version__ = "0.1.0"
