// The millisecond clock (KroTimerRead is declared in kroutil/kro_timer.h).
#pragma once

#include "kroutil/kro_timer.h"

// Forgets all readings, so that the next call is a first call again (tests).
void KroTimerReset();
