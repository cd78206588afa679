# Run with an unknown switch (see usage_switch.args): the usage box, status 2.
