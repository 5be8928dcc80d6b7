#!/usr/bin/env bash
# Remakes the reader fixtures from source.ppm (7 x 5, every pixel a different colour) with
# ImageMagick. TGA files are written with an explicit top-left origin: ImageMagick 6.9 stores
# rows top first even when it declares a bottom-left origin, so bottom-left files are built by
# the tests themselves.
set -euo pipefail
cd "$(dirname "$0")"
convert source.ppm -type TrueColor pcx24.pcx
convert source.ppm -type Palette pcx8.pcx
convert source.ppm -orient TopLeft tga24.tga
convert source.ppm -orient TopLeft -compress RLE tga24rle.tga
convert source.ppm -orient TopLeft -type Palette tga8.tga
convert source.ppm -orient TopLeft -type Palette -compress RLE tga8rle.tga
convert source.ppm -orient TopLeft -colorspace Gray tgagrey.tga
convert source.ppm -orient TopLeft -colorspace Gray -compress RLE tgagreyrle.tga
convert source.ppm -orient TopLeft -alpha set -channel A -evaluate set 50% +channel tga32.tga
convert source.ppm -orient TopLeft -alpha set -channel A -evaluate set 50% +channel -compress RLE tga32rle.tga
convert source.ppm -quality 100 colour.jp2
convert source.ppm -quality 100 colour.j2k
convert source.ppm -colorspace Gray -quality 100 grey.jp2
convert source.ppm -colorspace Gray -quality 100 grey.j2k
