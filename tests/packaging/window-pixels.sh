# window-pixels.sh, sourced: what a screenshot of the Leanfold window shows, read with ImageMagick.

# queue_layout <png>: "<box WxH+X+Y> <rows>" of the queue list's first column. A strip of its first column, 58 pixels from x=22 (the page
# margin is 18 pixels), is read row by row: the list's frame (#cbd5e1) crosses the whole strip at its top and its
# bottom; below the header (#f1f4f8) each queued file is one band of rows with dark pixels (its name).
queue_layout() {
  convert "$1" -crop "58x$(identify -format %h "$1")+22+0" +repage -depth 8 txt:- |
    awk -F'[(), :]+' 'NR > 1 {
        y = $2; last = y > last ? y : last
        if ($6 == "#CBD5E1") frame[y]++
        if ($6 == "#F1F4F8") header[y]++
        if ($3 + $4 + $5 < 384) ink[y]++
      }
      END {
        top = -1; bottom = -1
        for (y = 0; y <= last; y++)
          if (frame[y] == 58) { if (top < 0) top = y; else if (y > top + 1) { bottom = y; break } }
        if (bottom < 0) { print "0x0+0+0 0"; exit }
        y = top + 1
        while (y < bottom && header[y] > 0) y++
        rows = 0; inside = 0
        for (; y < bottom; y++) {
          if (ink[y] > 0 && !inside) rows++
          inside = ink[y] > 0
        }
        print "58x" (bottom - top + 1) "+22+" top, rows
      }'
}

# title_band <png> <band png>: the page header's title, without the header's buttons at the right.
title_band() {
  convert "$1" -crop 700x44+0+0 +repage "$2"
}

# ink_boxes <band png>: the bounding boxes (WxH+X+Y) of the dark shapes in a title, left to right.
ink_boxes() {
  convert "$1" -colorspace gray -threshold 50% -negate -define connected-components:verbose=true \
    -connected-components 8 null: | awk '$NF == "gray(255)" { print $2 }' | sort -t+ -k2 -n
}

# match <band png> <shape png>: how far the place in the band closest to the shape is from it (0 = the same pixels,
# 1 = nothing alike).
match() {
  compare -metric RMSE -dissimilarity-threshold 1 -subimage-search "$1" "$2" null: 2>&1 |
    sed -n 's/.*(\([0-9.e-]*\)).*/\1/p'
}

# colour_box <png> <colour> <region WxH+X+Y>: the bounding box (WxH+X+Y) of the pixels of exactly that colour in the
# region, relative to it.
colour_box() {
  convert "$1" -crop "$3" +repage -fill black +opaque "$2" -format %@ info:
}

# near <WxH+X+Y> <WxH+X+Y>: each of the four numbers within 8 pixels of the other's.
near() {
  echo "$1 $2" | awk -F'[x+ ]' '{ for (i = 1; i <= 4; i++) { d = $i - $(i + 4); if (d > 8 || d < -8) exit 1 } }'
}
