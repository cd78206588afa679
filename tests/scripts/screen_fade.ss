# Fades: every step is a palette change, fade speed 0 included; the steps of a slower fade
# come at fixed distances from its start.
SCREENGRAPHICS R 8 2
SCREENFILLEDBOX 0 0 8 2 63
SCREENFADESPEED 0
SCREENFADEOUTCLEAR 5
SCREENGRAPHICS R 8 2
SCREENFILLEDBOX 0 0 4 1 40
SCREENFADESPEED 10
SCREENFADEOUTCLEAR 6
