# brCall: the library's own work per call through the scripted driver and, where the stand-in
# server has its language, the whole stack beside brRead.
if(TARGET tarnodbc AND TARGET tarn_scripted_state AND TARGET tarn_test_support)
  tarn_add_bench(bench_rule_module SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_rule_module.cpp
    LIBS tarncl tarn_test_support tarn_scripted_state PkgConfig::ODBC PkgConfig::SQLITE3)
  target_compile_definitions(bench_rule_module PRIVATE
    TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>"
    TARN_SCRIPTED_DRIVER_PATH="$<TARGET_FILE:tarn_scripted_odbc>")
  if(TARN_E2E_LANGUAGE OR EXISTS ${PROJECT_SOURCE_DIR}/server/engine/corvex)
    target_compile_definitions(bench_rule_module PRIVATE TARN_SERVER_HAS_LANGUAGE=1)
  endif()
  add_dependencies(bench_rule_module tarnodbc tarn_scripted_odbc)
endif()
