# File indexes through the whole stack and in the engine, beside brRead, an unindexed write and
# SQLite's own CREATE INDEX.
if(TARGET tarnodbc AND TARGET tarn_test_support)
  tarn_add_bench(bench_index SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_index.cpp
    LIBS tarncl tarn_engine tarn_test_support PkgConfig::ODBC PkgConfig::SQLITE3)
  target_compile_definitions(bench_index PRIVATE TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>")
  add_dependencies(bench_index tarnodbc)
endif()
