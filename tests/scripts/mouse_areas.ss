# Mouse areas: a click in the overlap of two areas names the newer one; a frame pushed hides the
# areas below it until it is popped; MOUSEREMOVE works only in the current frame; names are cut
# to 31 characters; positions are reported less the drawing origin.
DEBUGFILE 'trace.txt'
SCREENGRAPHICS R 64 48
MOUSEADD 'older' 0 0 40 40 0
MOUSEADD 'newer' 20 20 40 20 0
INPUTCHAR K
INPUTCHAR K
MOUSEAREA A
MOUSEPUSHANDREMOVEALL
MOUSEAREA A
MOUSEREMOVE 'older'
INPUTCHAR K
MOUSEADD 'ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd' 0 0 10 10 0
INPUTCHAR K
MOUSEPOP
MOUSEAREA A
MOUSEREMOVE 'newer'
INPUTCHAR K
MOUSEX X
MOUSEY Y
SCREENADJUSTXY 4 2
MOUSEX X
MOUSEY Y
INPUTCHAR K
