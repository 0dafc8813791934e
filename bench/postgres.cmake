# The whole stack on the PostgreSQL store beside libpq's prepared statements on the same server,
# and 8 client processes against 1. Starts its own throwaway cluster.
if(TARGET tarnodbc AND TARGET tarn_test_support)
  tarn_add_bench(bench_postgres SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_postgres.cpp
    LIBS tarncl tarn_test_support PkgConfig::ODBC PkgConfig::SQLITE3)
  target_compile_definitions(bench_postgres PRIVATE
    TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>"
    TARN_PG_CLUSTER_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/pg_cluster.sh")
  add_dependencies(bench_postgres tarnodbc)
endif()
