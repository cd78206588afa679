# The table holds 128 bitmaps, then allocation gives 0; a freed slot is handed out again; the
# freed variable is empty, so freeing it a second time is a bad frame parameter.
VARSET N 0
:more
BITMAPALLOC B 1 1
IF B = 0 GOTO full
COMPUTE N N + 1
GOTO more
:full
DEBUGFILE 'trace.txt'
VARSET COUNT N
BITMAPALLOC X 4 4
VARSET H 9057
BITMAPFREE H
BITMAPALLOC Y 3 2
BITMAPWIDTH W Y
BITMAPHEIGHT E Y
BITMAPFREE Y
BITMAPALLOC Z -1 5
BITMAPALLOC Z 0 5
BITMAPWIDTH W Z
BITMAPGETPIXEL P Z 0 0
BITMAPFREE Z
BITMAPFREE Z
