# Late-bound dispatch beside the direct call; 10,000 brRead calls from C++, the baseline that
# bench_python.py puts beside the same reads from Python.
if(TARGET tarnodbc AND TARGET tarn_test_support)
  tarn_add_bench(bench_typelib SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_typelib.cpp
    LIBS tarncl tarn_test_support)
  target_compile_definitions(bench_typelib PRIVATE TARN_ODBC_DRIVER_PATH="$<TARGET_FILE:tarnodbc>")
  add_dependencies(bench_typelib tarnodbc)
endif()
