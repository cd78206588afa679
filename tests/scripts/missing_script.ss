# Run with the name of a script that does not exist (see missing_script.args).
