# Text through the whole stack: a UTF-8 connection beside a Windows-1252 one, same run.
if(TARGET tarnodbc AND TARGET tarn_test_support)
  tarn_add_bench(bench_text SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_text.cpp
    LIBS tarncl tarn_test_support)
  target_compile_definitions(bench_text PRIVATE TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>")
  add_dependencies(bench_text tarnodbc)
endif()
