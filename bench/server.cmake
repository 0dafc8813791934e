# One request round trip through unixODBC to libtarnodbc.so, beside the SQLite ODBC driver and
# SQLite's C API doing the same key read and insert.
if(TARGET tarnodbc)
  tarn_add_bench(bench_roundtrip SOURCES bench_roundtrip.cpp
    LIBS PkgConfig::ODBC PkgConfig::SQLITE3)
  target_compile_definitions(bench_roundtrip PRIVATE
    TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>"
    SQLITE_ODBC_DRIVER_PATH="/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so")
  add_dependencies(bench_roundtrip tarnodbc)
endif()
