# Ten minutes of waiting take no time on the virtual clock.
DEBUGFILE 'trace.txt'
SYSTEMTIMER T0
DELAY 600000
SYSTEMTIMER T1
COMPUTE D = T1 - T0
IF D >= 600000 DEBUGTEXT 'waited the whole delay'
COMPUTE U = T1 + 1000
DELAYUNTIL U
SYSTEMTIMER T2
COMPUTE E = T2 - T1
IF E >= 1000 DEBUGTEXT 'waited until the target'
