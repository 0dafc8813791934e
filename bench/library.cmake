# The class library through the whole stack (unixODBC, libtarnodbc.so, the engine) beside the
# SQLite ODBC driver, SQLite's C API and std::sort doing the same work.
if(TARGET tarnodbc AND TARGET tarn_test_support)
  tarn_add_bench(bench_library SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_library.cpp
    LIBS tarncl tarn_engine tarn_test_support PkgConfig::ODBC PkgConfig::SQLITE3)
  target_compile_definitions(bench_library PRIVATE
    TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>"
    SQLITE_ODBC_DRIVER_PATH="/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so")
  add_dependencies(bench_library tarnodbc)
endif()
