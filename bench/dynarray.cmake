# Dynamic array element access, search and conversion against vectorised-scan baselines.
tarn_add_bench(bench_dynarray SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_dynarray.cpp LIBS tarncl)
