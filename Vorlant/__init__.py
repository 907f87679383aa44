"""Vorlant: in-memory RGB images with exact PNG and BMP round trips.

The native module ``Vorlant.tavrel_ext`` holds everything: the ``Tavrel``
image class and the PNG and BMP readers and writers.
"""
