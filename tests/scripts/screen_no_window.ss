# A drawing command before SCREENGRAPHICS.
SCREENSETPIXEL 1 1 1
