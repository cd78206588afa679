# A line with a parameter left over.
VARSET X 1
COMPUTE Y = X + 1 extra
