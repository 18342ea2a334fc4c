"""Benchmarks of quillmere's DBEngine against the stores Python programs use
instead. Run with `make bench` or `python -m bench.run`; see bench/README.md."""
