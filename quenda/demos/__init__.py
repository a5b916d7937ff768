"""Demo circuits, apart from the library: the command line's demo, the
physics tests and the benchmarks share them."""
