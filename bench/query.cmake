# Query sentences beside the index walk, the file scan and SQLite queries they compete with.
tarn_add_bench(bench_query SOURCES bench_query.cpp LIBS tarn_engine PkgConfig::SQLITE3)
