# The input box, drawn in a small font so that its layout shows in a small frame: x rounded down
# to a multiple of 4, y centred, outline, prompt and field; the screen under it comes back.
# Message boxes: buttons 6 are Yes/No/Cancel (No gives 8), buttons 2 OK/Cancel (No is no answer).
DEBUGFILE 'trace.txt'
SCREENGRAPHICS R 24 16
SCREENCLEAR 10
BITMAPALLOC FB 4 2
BITMAPCLEAR FB 0
BITMAPSETPIXEL FB 0 0 1
BITMAPSETPIXEL FB 1 1 1
BITMAPSETPIXEL FB 3 0 1
BITMAPSETPIXEL FB 2 1 1
TEXTFONTFROMBITMAP FB 2 2 65 66
TEXTBACKCOLOR 1
INPUTSTRWIN S 7 -1 4 'AB'
TEXTX X
TEXTY Y
INPUTMSGWIN M 0 0 6 'Leave?'
INPUTMSGWIN M 0 0 2 'Really?'
