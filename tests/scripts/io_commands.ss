# Files, environment, random numbers, display modes and multimedia strings through the program.
DEBUGFILE 'trace.txt'
FILECREATE F 'notes.txt'
FILEWRITE F 'alpha'
FILECLOSE F
FILEOPEN F 'notes.txt'
FILEREAD A F
FILEREAD B F
FILEEOF E F
FILECLOSE F
FILEDELETE D 'nothing*.none'
FILECOPY C 'notes.txt' 'NOTES.TXT'
FILESIZE S 'notes.txt'
VARSET NAME 'torvex_script_case'
ENVSET NAME 'set through a word'
ENVGET V 'TORVEX_SCRIPT_CASE'
RANDOMIZE 99
RANDOM R1 1000
RANDOMIZE 99
RANDOM R2 1000
SYSTEMDISPLAYRESOLUTION 7
MCISENDSTRING M 'open nothing_here'
PRINTBEGIN 'first.prn'
PRINTBEGIN 'second.prn'
