"""Main job: make an image, and show what the module keeps of it."""

from Vorlant.tavrel_ext import Tavrel


def main() -> None:
    width, height = 64, 48
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            pixels += bytes((x * 4 % 256, y * 5 % 256, (x + y) % 256))
    image = Tavrel(width, height, pixels, bytes(width * height))
    print("size:", image.size)


if __name__ == "__main__":
    main()
