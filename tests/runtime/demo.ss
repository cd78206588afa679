# A small presentation: boxes, lines and placeholders where text will go, a palette fade, then
# the picture drawn again in the default palette. Run it in a window with
#   torvexscript demo show
# (the word after the name keeps the picture up for three seconds at the end;
# TORVEX_VIDEO=headless TORVEX_CAPTURE=DIR gives the same frames without a screen).
SCREENWINDOWTITLE 'Torvex demo'
SCREENGRAPHICS R 160 120
GOSUB PICTURE
SCREENFADESPEED 15
SCREENFADEOUTCLEAR 0
SCREENGRAPHICS R 160 120
GOSUB PICTURE
SCREENSETPIXEL 80 60 63
SCREENGETPIXEL P 80 60
SYSTEMCOMMANDLINE C
STRLENGTH L "%C%"
IF L > 0 DELAY 3000
EXIT

:PICTURE
SCREENFILLEDBOX 0 0 160 120 8
SCREENBOX 4 4 152 112 63
SCREENLINE 4 4 155 115 127
SCREENLINE 155 4 4 115 191
SCREENFILLEDBOX 16 16 64 10 255
SCREENFILLEDBOX 16 30 96 10 230
SCREENFILLEDBOX 100 90 50 20 100
SCREENBOX 99 89 52 22 63
RETURN
