"""The rows of bench/run, one module each: a docstring that says what the row measures
and its goal, TARGETS (the build targets it runs, beside Zelk), and run(bench), which
measures and appends the row's lines to bench.rows. A new row is a module here and its
name in bench/run's ROWS."""
