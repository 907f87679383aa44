"""The decoded pixel buffer: inflated into a larger bytearray, then cut in place to the RGB samples."""

import sys

import pytest

from Vorlant.tavrel_ext import Tavrel

from imagedata import make_png, make_rows, split_pixels


@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("width, height", [(1, 1), (5, 3), (64, 33)])
def test_cut_pixels_are_a_plain_bytearray_of_their_length(channels, width, height):
    rgb = split_pixels(make_rows(width, height, channels), channels)[0]
    pixels = Tavrel.open(make_png(width, height, channels))._pixels
    fresh = bytearray(len(rgb))
    assert type(pixels) is bytearray and pixels == rgb and len(pixels) == width * height * 3
    assert sys.getsizeof(pixels) == sys.getsizeof(fresh) and pixels.__alloc__() == fresh.__alloc__()
    pixels += b"\x01\x02"
    del pixels[:3]
    pixels.extend(bytes(1000))
    pixels[-1:] = b"\xff"
    assert pixels == rgb[3:] + b"\x01\x02" + bytes(999) + b"\xff"
