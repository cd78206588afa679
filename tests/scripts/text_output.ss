# The three colour rules of text, glyph 0 for a code outside the font, text cut to the rest of
# the line, and a new line too close to the bottom, which is ignored (no scrolling).
DEBUGFILE 'trace.txt'
SCREENGRAPHICS R 32 48
SCREENCLEAR 10
TEXT 'Hi'
TEXTTRANSCOLOR 0
TEXTNOCR 'Hi'
TEXTTRANSCOLOR 7
TEXTBACKCOLOR 3
TEXTNOCR 'H'
TEXTTRANSCOLOR 128
TEXTBACKCOLOR 0
TEXTNOCR 'È'
TEXTX X
TEXT 'Z'
TEXTY Y
TEXT 'ABCDEF'
TEXTX X
TEXTY Y
