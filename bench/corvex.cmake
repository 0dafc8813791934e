# Corvex beside Lua 5.4 (embedded for comparison only), and a subroutine call through the whole
# stack beside a key read.
pkg_check_modules(LUA54 IMPORTED_TARGET lua5.4)
if(LUA54_FOUND AND TARGET tarnodbc AND TARGET tarn_test_support)
  tarn_add_bench(bench_corvex SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_corvex.cpp
    LIBS tarncl_objects tarn_engine tarn_test_support PkgConfig::LUA54 PkgConfig::ODBC)
  target_compile_definitions(bench_corvex PRIVATE TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>")
  add_dependencies(bench_corvex tarnodbc)
endif()
