# A menu of mouse areas: click an entry (or press its number), Escape or closing the window ends.
SCREENWINDOWTITLE 'Torvex menu'
SCREENGRAPHICS OK 320 200
IF OK = 0 GOTO failed
TEXTTRANSCOLOR 0
SCREENCLEAR 0
TEXTCOLOR 63
TEXTSETXY 104 8
TEXT 'Choose an entry'
VARSET N 1 ; VARSET Y 40 ; VARSET C 208 ; GOSUB entry
VARSET N 2 ; VARSET Y 80 ; VARSET C 136 ; GOSUB entry
VARSET N 3 ; VARSET Y 120 ; VARSET C 88 ; GOSUB entry
GOTO wait

# Draws entry N at row Y in colour C and adds its mouse area "ITEM N".
:entry
SCREENFILLEDBOX 80 Y 160 28 C
SCREENBOX 80 Y 160 28 63
COMPUTE T Y + 6
TEXTSETXY 112 T
TEXT 'Entry %N%'
MOUSEADD 'ITEM %N%' 80 Y 160 28 0
RETURN

:wait
TEXTSETXY 8 176
INPUTCHAR KEY
IF '%KEY%' = 'ESCAPE' GOTO done
IF '%KEY%' = 'ALT F4' GOTO done
IF '%KEY%' = '1' VARSET KEY 'ITEM 1'
IF '%KEY%' = '2' VARSET KEY 'ITEM 2'
IF '%KEY%' = '3' VARSET KEY 'ITEM 3'
STRPIECE P 1 5 '%KEY%'
IF '%P%' = 'ITEM ' GOTO chosen
SCREENFILLEDBOX 0 176 320 16 0
TEXTNOCR 'Not an entry: %KEY%'
GOTO wait

:chosen
SCREENFILLEDBOX 0 176 320 16 0
TEXTNOCR 'You chose %KEY%'
GOTO wait

:done
INPUTMSGWIN SURE 0 0 12 'Leave the menu?'
IF SURE = 8 GOTO wait
SCREENTEXT
END

:failed
INPUTMSGWIN X 0 0 1 'No window could be opened.'
