# The debug trace through a subroutine, a called file and executed text.
DEBUGFILE 'trace.txt'
VARSET N 5
COMPUTE N N + 1
IF N = 6 VARSET A 1 ; VARSET B 2 # both run
IF N = 7 VARSET C 1 ; VARSET D 2
GOSUB SUB
CALL 'helper_lib' ; DEBUGTEXT 'back in the caller'
INTERPRET "STRPIECE P 2 3 'abcdef'"
SCREENGRAPHICS R 8 8 ; VARLIST
END

:SUB
DEBUGTEXT "in the subroutine, N is %N%"
RETURN
