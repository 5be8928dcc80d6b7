#!/usr/bin/python3
"""Makes the throughput corpus from Debian's wallpaper photographs.

    make_corpus.py DIR

24 colour photographs of 3000 x 2000 (JPEG, quality 90) and 6 grey scans of 2000 x 2500
(3 LZW TIFF, 3 8-bit grey-palette BMP), each scaled and cropped from a wallpaper with a little
noise, so that no two are alike and none compresses better than a real photograph would.
DIR/manifest.tsv lists them; it is written last, so a corpus with a manifest is complete and
is reused as it stands.
"""

import os
import sys

import numpy as np
from PIL import Image

PLASMA = "/usr/share/wallpapers/{}/contents/images/2560x1600.jpg"
MATE = "/usr/share/backgrounds/mate/{}.jpg"

# Photographs only: the drawn and rendered wallpapers compress far better than a clinic's pictures.
PHOTO_SOURCES = [PLASMA.format(n) for n in (
    "Autumn", "BytheWater", "ColdRipple", "ColorfulCups", "DarkestHour", "EveningGlow",
    "FallenLeaf", "Grey", "Kite", "OneStandsOut", "Path", "summer_1am")] + [MATE.format(n) for n in (
    "abstract/Elephants_5640x3172", "nature/Aqua", "nature/Garden", "nature/LadyBird",
    "nature/TwoWings", "nature/YellowFlower", "nature/Wood", "nature/Storm", "nature/RainDrops",
    "nature/Blinds", "nature/Dune", "desktop/GreenTraditional")]
SCAN_SOURCES = [MATE.format("nature/FreshFlower"), MATE.format("nature/GreenMeadow"),
                MATE.format("abstract/Elephants_3840x2160"), PLASMA.format("Path"),
                PLASMA.format("Kite"), PLASMA.format("Autumn")]

PHOTO_SIZE = (3000, 2000)
SCAN_SIZE = (2000, 2500)
NOISE_SIGMA = 2.0


def cover(image, size):
    """Scales image to cover size and crops the middle."""
    w, h = size
    scale = max(w / image.width, h / image.height)
    scaled = image.resize((max(w, round(image.width * scale)), max(h, round(image.height * scale))),
                          Image.Resampling.BICUBIC)
    left = (scaled.width - w) // 2
    top = (scaled.height - h) // 2
    return scaled.crop((left, top, left + w, top + h))


def noisy(image, rng):
    a = np.asarray(image, dtype=np.float32)
    a = a + rng.normal(0.0, NOISE_SIGMA, a.shape).astype(np.float32)
    return Image.fromarray(np.clip(np.rint(a), 0, 255).astype(np.uint8), image.mode)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py DIR")
    folder = os.path.abspath(sys.argv[1])
    os.makedirs(folder, exist_ok=True)
    missing = [s for s in PHOTO_SOURCES + SCAN_SOURCES if not os.path.isfile(s)]
    if missing:
        sys.exit("make_corpus: wallpapers missing (install mate-backgrounds and plasma-workspace-wallpapers): "
                 + ", ".join(missing))

    rng = np.random.default_rng(20261211)
    rows = []
    for i, source in enumerate(PHOTO_SOURCES, 1):
        name = "foto_%02d.jpg" % i
        picture = noisy(cover(Image.open(source).convert("RGB"), PHOTO_SIZE), rng)
        picture.save(os.path.join(folder, name), "JPEG", quality=90)
        rows.append((name, "photo", PHOTO_SIZE[0], PHOTO_SIZE[1], 3, source))
        print("corpus:", name, "from", source, flush=True)
    for i, source in enumerate(SCAN_SOURCES, 1):
        tiff = i <= 3
        name = "skanning_%02d.%s" % (i, "tif" if tiff else "bmp")
        picture = noisy(cover(Image.open(source).convert("L"), SCAN_SIZE), rng)
        path = os.path.join(folder, name)
        if tiff:
            picture.save(path, "TIFF", compression="tiff_lzw")
        else:
            picture.save(path, "BMP")  # 8 bits with a grey palette
        rows.append((name, "scan", SCAN_SIZE[0], SCAN_SIZE[1], 1, source))
        print("corpus:", name, "from", source, flush=True)

    manifest = os.path.join(folder, "manifest.tsv")
    with open(manifest + ".part", "w") as f:
        f.write("name\tkind\twidth\theight\tsamples\tsource\n")
        for r in rows:
            f.write("\t".join(str(v) for v in r) + "\n")
    os.replace(manifest + ".part", manifest)


if __name__ == "__main__":
    main()
