# Called by other cases; has no expectations of its own.
VARSET IN 'helper'
GOSUB INNER
EXIT
:INNER
VARSET DEEP 1
RETURN
