#!/bin/bash
# Draws the application's icons with ImageMagick primitives. The PNGs are
# committed; run this again after changing a drawing.
set -euo pipefail
cd "$(dirname "$0")"
FONT=DejaVu-Sans-Bold
C="convert -background none"

# Title bar: close and minimise (white on the olive title bar).
$C -size 32x32 xc:none -stroke white -strokewidth 4 -draw "line 8,8 24,24" -draw "line 24,8 8,24" close.png
$C -size 32x32 xc:none -stroke white -strokewidth 4 -draw "line 7,20 25,20" minimize.png

# Title-bar links, drawn at 80 px and shown at 32 px.
$C -size 80x80 xc:none -fill none -stroke white -strokewidth 6 -draw "circle 40,40 40,6" \
   -stroke none -fill white -draw "circle 40,22 40,27" -draw "roundrectangle 35,34 45,62 3,3" about.png
$C -size 80x80 xc:none -fill none -stroke white -strokewidth 6 -draw "circle 40,40 40,6" \
   -draw "circle 40,40 40,24" -strokewidth 8 -draw "line 16,16 29,29" -draw "line 64,16 51,29" \
   -draw "line 16,64 29,51" -draw "line 64,64 51,51" support.png
$C -size 80x80 xc:none -fill none -stroke white -strokewidth 6 -draw "circle 40,40 40,6" \
   -stroke none -fill white -font $FONT -pointsize 46 -gravity center -annotate +0+2 "?" help.png

# Message boxes.
$C -size 64x64 xc:none -fill "rgb(16,78,159)" -draw "circle 32,32 32,2" \
   -fill white -font $FONT -pointsize 40 -gravity center -annotate +0+1 "?" question.png

# Category tiles of the first page (white on the tile colour).
$C -size 96x96 xc:none -fill none -stroke white -strokewidth 5 -draw "roundrectangle 8,16 88,80 8,8" \
   -stroke none -fill white -draw "circle 66,34 66,42" -draw "polygon 14,74 38,42 54,62 62,54 82,74" photo.png
$C -size 96x96 xc:none -fill white -draw "polygon 34,18 78,8 78,16 34,26" \
   -draw "rectangle 34,18 40,70" -draw "rectangle 72,10 78,62" \
   -draw "ellipse 28,70 13,10 0,360" -draw "ellipse 66,62 13,10 0,360" music.png
$C -size 96x96 xc:none -fill white -draw "roundrectangle 6,26 64,74 8,8" \
   -draw "polygon 68,42 90,28 90,72 68,58" -fill none -stroke "rgba(0,0,0,0.25)" -strokewidth 3 \
   -draw "circle 22,50 22,42" -draw "circle 46,50 46,42" video.png

# Information bands of pages 2 and 3.
$C -size 48x48 xc:none -fill white -stroke "rgb(16,78,159)" -strokewidth 3 \
   -draw "polygon 6,4 28,4 36,12 36,44 6,44" -stroke "rgb(160,170,190)" -strokewidth 2 \
   -draw "line 11,16 30,16" -draw "line 11,22 30,22" -draw "line 11,28 22,28" \
   -fill "rgba(236,246,255,0.6)" -stroke "rgb(85,107,47)" -strokewidth 4 -draw "circle 30,30 30,20" \
   -strokewidth 6 -draw "line 37,37 45,45" scan_files.png
$C -size 48x48 xc:none -fill white -stroke "rgb(16,78,159)" -strokewidth 3 \
   -draw "polygon 6,4 28,4 36,12 36,44 6,44" -stroke none -fill "rgb(46,139,87)" \
   -draw "circle 34,34 34,20" -fill white -draw "polygon 27,32 34,24 41,32 37,32 37,42 31,42 31,32" recover_file.png

# Device tree.
$C -size 32x32 xc:none -fill "rgb(110,118,130)" -draw "roundrectangle 2,8 29,24 4,4" \
   -fill "rgb(200,205,212)" -draw "roundrectangle 5,11 26,17 2,2" \
   -fill "rgb(60,200,90)" -draw "circle 24,21 24,19.6" -fill "rgb(40,44,52)" -draw "rectangle 6,20 16,21" physical_drive.png
$C -size 32x32 xc:none -fill "rgb(16,78,159)" -draw "roundrectangle 3,10 28,22 3,3" \
   -fill "rgb(152,215,245)" -draw "rectangle 6,13 18,19" -fill white -draw "circle 24,16 24,14.5" drive.png

# File-type icons of the result browser: a page with a folded corner in the
# colour of its category and the type written on it.
fileicon() {  # name label colour
  $C -size 48x48 xc:none -fill white -stroke "rgb(120,120,120)" -strokewidth 2 \
     -draw "polygon 8,3 31,3 41,13 41,45 8,45" -fill "rgb(210,210,210)" -draw "polygon 31,3 31,13 41,13" \
     -stroke none -fill "$3" -draw "rectangle 4,24 44,38" \
     -fill white -font $FONT -pointsize 9 -gravity north -annotate +0+26 "$2" "FileIcon/$1.png"
}
P="rgb(150,110,190)"; M="rgb(230,120,90)"; V="rgb(40,150,210)"; O="rgb(16,78,159)"; A="rgb(160,120,40)"; X="rgb(120,120,120)"
for e in bmp gif ico jpg png psd tif thm epson mamiya minolta; do fileicon $e "$(echo $e | tr a-z A-Z | cut -c1-5)" "$P"; done
for e in aiff at3 au dss mid mp3 music ogg real wma acid; do fileicon $e "$(echo $e | tr a-z A-Z | cut -c1-5)" "$M"; done
for e in asf avi divx dv mov mp4 mpeg rmvb tod vob wmv rps; do fileicon $e "$(echo $e | tr a-z A-Z | cut -c1-5)" "$V"; done
for e in accdb chm doc html indd ods one pdf ppt psp txt wps xls xml; do fileicon $e "$(echo $e | tr a-z A-Z | cut -c1-5)" "$O"; done
for e in 7z ace cab gzip jar rar zip; do fileicon $e "$(echo $e | tr a-z A-Z | cut -c1-5)" "$A"; done
fileicon exe EXE "$X"; fileicon other "?" "$X"; fileicon default "FILE" "$X"
fileicon image IMG "$P"; fileicon photo_default PHOTO "$P"; fileicon audio_default AUDIO "$M"
fileicon video_default VIDEO "$V"; fileicon office_default DOC "$O"
