# The engine's own costs beside the SQLite work they stand on.
tarn_add_bench(bench_engine SOURCES bench_engine.cpp LIBS tarn_engine)
