# brCall: the library's own work per call through the scripted driver, and the whole stack to
# the stand-in server beside brRead.
if(TARGET tarnodbc AND TARGET tarn_scripted_state AND TARGET tarn_test_support)
  tarn_add_bench(bench_rule_module SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_rule_module.cpp
    LIBS tarncl tarn_test_support tarn_scripted_state PkgConfig::ODBC PkgConfig::SQLITE3)
  target_compile_definitions(bench_rule_module PRIVATE
    TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>"
    TARN_SCRIPTED_DRIVER_PATH="$<TARGET_FILE:tarn_scripted_odbc>")
  add_dependencies(bench_rule_module tarnodbc tarn_scripted_odbc)
endif()
