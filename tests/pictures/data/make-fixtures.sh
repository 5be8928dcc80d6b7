#!/bin/sh
# Makes the small picture fixtures of the picture tests with ImageMagick. The results are
# committed; run again only to change them.
set -eu
cd "$(dirname "$0")"
base="-seed 7 -size 37x23 plasma: -depth 8"
convert $base -quality 90 -sampling-factor 2x2 jpeg_colour.jpg
convert $base -colorspace Gray -quality 90 jpeg_grey.jpg
convert $base -quality 85 -interlace Plane jpeg_progressive.jpg
convert $base -colorspace CMYK -quality 90 jpeg_cmyk.jpg
convert $base png_rgb.png
convert $base \( -size 37x23 gradient:white-black \) -alpha off -compose CopyOpacity -composite png_alpha.png
convert $base -colors 20 PNG8:png_palette.png
convert $base -colors 20 -fill white -draw "rectangle 0,0 5,5" -transparent white PNG8:png_palette_trns.png
convert -seed 7 -size 37x23 plasma: -depth 16 png_16bit.png
convert $base -colorspace Gray -interlace PNG png_grey_interlaced.png
convert -delay 10 \( $base -fill black -draw "rectangle 3,3 12,9" -colors 64 -transparent black \) \
  \( -seed 8 -size 37x23 plasma: -colors 64 \) gif_frames.gif
convert $base \( -seed 8 -size 37x23 plasma: \) -depth 8 -compress LZW tiff_pages_lzw.tif
convert $base -colorspace Gray tiff_grey.tif
convert -seed 7 -size 37x23 plasma: -depth 16 tiff_16bit.tif
convert $base -monochrome bmp_1bit.bmp
convert $base -colors 16 -type Palette BMP3:bmp_4bit.bmp
convert $base -colors 200 -type Palette -compress None BMP3:bmp_8bit.bmp
convert $base -colors 200 -type Palette -compress RLE BMP3:bmp_8bit_rle.bmp
convert $base -type TrueColor BMP3:bmp_24bit.bmp
convert $base -alpha set -channel A -evaluate set 60% +channel -type TrueColorAlpha bmp_32bit.bmp
convert $base -orient bottom-left tiff_bottom_up.tif
convert -seed 9 -size 37x150 plasma: -depth 8 -define tiff:rows-per-strip=5 -compress Zip tiff_strips.tif
convert -seed 9 -size 37x150 plasma: -depth 8 -define tiff:tile-geometry=16x16 -compress Zip tiff_tiled.tif
convert $base -colors 100 -interlace GIF gif_interlaced.gif
convert $base \( -size 37x23 gradient:white-black \) -alpha off -compose CopyOpacity -composite tiff_alpha.tif
convert $base -define bmp:subtype=RGB565 bmp_16bit.bmp
