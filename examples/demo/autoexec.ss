# The Torvex demo: a title in two fonts, a menu of mouse areas and keys, an animation played
# whole with its music, effects and fades, a second one driven frame by frame into a bitmap and
# laid over a background, and a clean exit. When nobody answers the menu for ten seconds it
# picks the next entry itself, so the demo also runs through on its own.
SCREENWINDOWTITLE 'Torvex demo'
SCREENGRAPHICS OK 320 200
IF OK = 0 GOTO nowindow
SCREENFADESPEED 20

# The backdrop and the font sheet are one-frame animations, loaded straight into bitmaps.
ANIMATIONLOADTOBITMAP 'backdrop' BACK
ANIMATIONLOADTOBITMAP 'font' SHEET
IF BACK = 0 GOTO nofiles
IF SHEET = 0 GOTO nofiles
# A bitmap with an all-black palette: setting it blacks the screen out before a fade-in.
BITMAPALLOC DARK 1 1
BITMAPSETPALETTEVALUE DARK 0 0
VARSET PLAYED 0 ; VARSET FRAMED 0 ; VARSET QUIT 0
# Text draws only its letters, so the pictures show around them.
TEXTBACKCOLOR 0 ; TEXTTRANSCOLOR 0

# ---- Title: the big letters are cut from the font sheet, the small ones are built in.
BITMAPSETPALETTE DARK
BITMAPTOSCREEN BACK 0 0
TEXTFONTFROMBITMAP SHEET 16 24 32 95
VARSET WORDS 'TORVEX DEMO' ; VARSET X 72 ; VARSET Y 36 ; VARSET C 5 ; GOSUB shadowed
TEXTFONTFROMBITMAP 0 1 1 1 1
VARSET WORDS 'Scripts, pictures, sound, animation' ; VARSET X 20 ; VARSET Y 72 ; VARSET C 1 ; GOSUB shadowed
VARSET WORDS 'Press a key or click to go on' ; VARSET X 44 ; VARSET Y 180 ; VARSET C 1 ; GOSUB shadowed
BITMAPFADEINPALETTE BACK
INPUTCHARORDELAY KEY 6000
IF '%KEY%' = 'ALT F4' GOTO leave

# ---- Menu: three mouse areas, the keys 1 to 3, Escape or closing the window leave.
:menu
MOUSEREMOVEALL
BITMAPSETPALETTE DARK
BITMAPTOSCREEN BACK 0 0
TEXTFONTFROMBITMAP SHEET 16 24 32 95
VARSET WORDS 'MENU' ; VARSET X 128 ; VARSET Y 10 ; VARSET C 5 ; GOSUB shadowed
TEXTFONTFROMBITMAP 0 1 1 1 1
VARSET N 1 ; VARSET Y 48 ; VARSET NAME 'PLAY' ; VARSET WORDS 'An animation with sound' ; GOSUB entry
VARSET N 2 ; VARSET Y 84 ; VARSET NAME 'FRAMES' ; VARSET WORDS 'Frames drawn into a bitmap' ; GOSUB entry
VARSET N 3 ; VARSET Y 120 ; VARSET NAME 'LEAVE' ; VARSET WORDS 'Leave the demo' ; GOSUB entry
VARSET WORDS 'Click an entry or press 1, 2 or 3' ; VARSET X 28 ; VARSET Y 180 ; VARSET C 1 ; GOSUB shadowed
BITMAPFADEINPALETTE BACK
:ask
INPUTCHARORDELAY KEY 10000
IF '%KEY%' = 'DELAY' GOSUB pick
IF '%KEY%' = '1' VARSET KEY 'PLAY'
IF '%KEY%' = '2' VARSET KEY 'FRAMES'
IF '%KEY%' = '3' VARSET KEY 'LEAVE'
IF '%KEY%' = 'ESCAPE' VARSET KEY 'LEAVE'
IF '%KEY%' = 'ALT F4' VARSET KEY 'LEAVE'
VARSET CHOICE '%KEY%'
# A short tone answers the choice.
IF '%CHOICE%' = 'PLAY' SOUND 660 80 ; GOTO play
IF '%CHOICE%' = 'FRAMES' SOUND 880 80 ; GOTO frames
IF '%CHOICE%' = 'LEAVE' SOUND 440 80 ; GOTO leave
GOTO ask

# No answer: the first entry not yet shown, else leaving.
:pick
VARSET KEY 'LEAVE'
IF FRAMED = 0 VARSET KEY 'FRAMES'
IF PLAYED = 0 VARSET KEY 'PLAY'
RETURN

# Draws menu entry N at row Y with the text WORDS and adds its mouse area NAME.
:entry
SCREENFILLEDBOX 32 Y 256 28 9
SCREENBOX 32 Y 256 28 13
COMPUTE T Y + 6
TEXTCOLOR 5 ; TEXTSETXY 44 T ; TEXTNOCR '%N%'
TEXTCOLOR 1 ; TEXTSETXY 68 T ; TEXTNOCR '%WORDS%'
MOUSEADD '%NAME%' 32 Y 256 28 0
RETURN

# Writes WORDS at X, Y in colour C over a dark shadow.
:shadowed
COMPUTE SX X + 2 ; COMPUTE SY Y + 2
TEXTCOLOR 12 ; TEXTSETXY SX SY ; TEXTNOCR '%WORDS%'
TEXTCOLOR C ; TEXTSETXY X Y ; TEXTNOCR '%WORDS%'
RETURN

# ---- One command plays a whole animation: music and effects tracks, from black with a
# fade-in, a fade-out at the end; Escape stops it.
:play
VARSET PLAYED 1
MOUSEREMOVEALL
BITMAPTOSCREEN BACK 0 0
SCREENFILLEDBOX 60 36 200 128 12
SCREENBOX 59 35 202 130 5
VARSET WORDS 'Music, effects and fades' ; VARSET X 64 ; VARSET Y 8 ; VARSET C 1 ; GOSUB shadowed
VARSET WORDS 'Escape stops it' ; VARSET X 100 ; VARSET Y 176 ; VARSET C 1 ; GOSUB shadowed
# 0x20 from black with a fade-in, 0x40 fade-out, 0x80 Escape stops: 224.
ANIMATIONPLAY DONE -1 -1 1 224 'show'
IF DONE = 0 GOTO nofiles
GOTO menu

# ---- Frame by frame: each frame of the spinning ball is decoded into a bitmap, laid over the
# background in a work bitmap and shown, while the ball travels across the screen.
:frames
VARSET FRAMED 1
MOUSEREMOVEALL
ANIMATIONOPEN SPIN 0 'sprite'
IF SPIN = 0 GOTO nofiles
ANIMATIONWIDTH W SPIN ; ANIMATIONHEIGHT H SPIN
BITMAPALLOC BALL W H
ANIMATIONTOBITMAP SPIN BALL
# The background: the backdrop with the captions written into it.
BITMAPALLOC SCENE 320 200
BITMAPTOBITMAP SCENE BACK 0 0
TEXTCOLOR 12 ; BITMAPTEXT SCENE 10 10 'Each frame goes into a bitmap'
BITMAPTEXT SCENE 10 28 'and is laid over the backdrop'
TEXTCOLOR 1 ; BITMAPTEXT SCENE 8 8 'Each frame goes into a bitmap'
BITMAPTEXT SCENE 8 26 'and is laid over the backdrop'
# The work bitmap: the ball with a margin of 4 pixels, enough to cover its last position.
COMPUTE TW W + 8 ; COMPUTE TH H + 8
BITMAPALLOC TILE TW TH
COMPUTE XMAX 320 - TW ; COMPUTE YMAX 200 - TH
BITMAPSETPALETTE DARK
BITMAPTOSCREEN SCENE 0 0
BITMAPFADEINPALETTE BACK
VARSET X 8 ; VARSET Y 60 ; VARSET DX 4 ; VARSET DY 3 ; VARSET STEP 0
:frame
ANIMATIONADVANCE SPIN
BITMAPTOBITMAP TILE SCENE X Y
BITMAPTOBITMAPTRANS TILE BALL 4 4 0
BITMAPTOSCREEN TILE X Y
ANIMATIONDELAY SPIN
COMPUTE X X + DX ; COMPUTE Y Y + DY
IF X >= XMAX VARSET X XMAX ; VARSET DX -4
IF X <= 0 VARSET X 0 ; VARSET DX 4
IF Y >= YMAX VARSET Y YMAX ; VARSET DY -3
IF Y <= 0 VARSET Y 0 ; VARSET DY 3
INPUTCHARORDELAY KEY 0
IF '%KEY%' = 'ESCAPE' GOTO framesdone
IF '%KEY%' = 'ALT F4' VARSET QUIT 1 ; GOTO framesdone
COMPUTE STEP STEP + 1
IF STEP < 96 GOTO frame
:framesdone
ANIMATIONCLOSE SPIN
BITMAPFREE BALL ; BITMAPFREE TILE ; BITMAPFREE SCENE
SCREENFADEOUTCLEAR 0
IF QUIT = 1 GOTO leave
GOTO menu

# ---- The end: a farewell, a fade to black, the window closed.
:leave
MOUSEREMOVEALL
BITMAPSETPALETTE DARK
BITMAPTOSCREEN BACK 0 0
TEXTFONTFROMBITMAP SHEET 16 24 32 95
VARSET WORDS 'GOODBYE' ; VARSET X 104 ; VARSET Y 60 ; VARSET C 5 ; GOSUB shadowed
TEXTFONTFROMBITMAP 0 1 1 1 1
VARSET WORDS 'Thank you for watching' ; VARSET X 72 ; VARSET Y 100 ; VARSET C 1 ; GOSUB shadowed
BITMAPFADEINPALETTE BACK
DELAY 1500
SCREENFADEOUTCLEAR 0
BITMAPFREE BACK ; BITMAPFREE SHEET ; BITMAPFREE DARK
SCREENTEXT
END

:nofiles
INPUTMSGWIN X 0 0 1 'The demo files are missing: run the demo in its build folder.'
SCREENTEXT
END

:nowindow
INPUTMSGWIN X 0 0 1 'No window could be opened.'
END
