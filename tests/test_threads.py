"""Other threads run while a large image is decoded and encoded: the module releases the interpreter lock around
its own computation."""
import subprocess
import sys
import textwrap
import threading

from Vorlant.tavrel_ext import Tavrel

from imagedata import make_png

# Run in a child: the switch interval is made so long that a thread waiting for the lock only gets it when the holder
# releases it of its own accord, so a counting thread progresses during a call only where the call releases the lock.
# zlib.compress (which releases it too) is wrapped before the module binds it, to count up to the compression only.
CHILD = textwrap.dedent("""
    import os, sys, threading, time, zlib
    real_compress = zlib.compress
    marks = []
    def compress(data):
        marks.append(count[0])
        return real_compress(data)
    zlib.compress = compress
    from Vorlant.tavrel_ext import Tavrel

    count, done = [0], []
    def counter():
        while not done:
            count[0] += 1
            time.sleep(0)
    side, alpha = 2048, bytes(range(256)) * (2048 * 2048 // 256)
    pixels = bytes(i * 7 % 251 for i in range(side * 3)) * side   # compressible rows: inflation takes a while
    path = sys.argv[1]
    sys.setswitchinterval(100)
    thread = threading.Thread(target=counter)
    thread.start()
    opened = saved = 0
    for _ in range(5):                                # the counter may not be scheduled in time on a busy machine
        before = count[0]
        Tavrel(side, side, pixels, alpha).save(path)
        saved += marks[-1] - before
        data = open(path, "rb").read()
        before = count[0]
        img = Tavrel.open(data)
        opened += count[0] - before
        if opened and saved:
            break
    done.append(1)
    thread.join()
    assert bytes(img._pixels) == pixels and bytes(img._alpha) == alpha
    print(opened, saved)
""")


def test_another_thread_progresses_while_a_large_image_is_decoded_and_encoded(tmp_path):
    run = subprocess.run([sys.executable, "-c", CHILD, str(tmp_path / "big.png")], capture_output=True, text=True,
                         timeout=300, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    opened, saved = map(int, run.stdout.split("\n")[-2].split())
    assert opened > 0, "no progress while the image was opened"
    assert saved > 0, "no progress while the rows were encoded"


def test_a_save_racing_a_same_size_rewrite_writes_only_rows_the_image_held(tmp_path):
    """Rows are copied out a block at a time while another thread rewrites the pixels in place: the first row of each
    block must be predicted from the row the previous block wrote, or it decodes to pixels of neither state."""
    width, height = 1100, 900                      # three blocks of rows
    raw = b"".join(bytes([2 + y % 3]) + bytes(width * 4) for y in range(height))  # Up, Average, Paeth
    img = Tavrel.open(make_png(width, height, 4, raw=raw))
    states = [(bytes([v]) * (width * height * 3), bytes([v]) * (width * height)) for v in (0x11, 0xEE)]
    rows_of_state = {bytes([v]) * (width * 3) for v in (0x11, 0xEE)}
    alpha_rows = {bytes([v]) * width for v in (0x11, 0xEE)}
    stop = threading.Event()

    def rewrite():
        i = 0
        while not stop.is_set():
            img._pixels[:], img._alpha[:] = states[i % 2]
            i += 1

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    thread = threading.Thread(target=rewrite)
    thread.start()
    try:
        for k in range(25):
            path = str(tmp_path / f"race{k}.png")
            img.save(path)
            with open(path, "rb") as f:
                back = Tavrel.open(f.read())
            rgb, alpha = bytes(back._pixels), bytes(back._alpha)
            bad = [y for y in range(height) if rgb[y * width * 3:(y + 1) * width * 3] not in rows_of_state
                   or alpha[y * width:(y + 1) * width] not in alpha_rows]
            assert not bad, f"save {k}: {len(bad)} rows of neither state, the first {bad[0]}"
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)
