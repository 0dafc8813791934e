# A transaction of 100 item writes beside the same writes outside one, on both stores. Starts its
# own throwaway PostgreSQL cluster for the second store.
if(TARGET tarn_test_support)
  tarn_add_bench(bench_transaction SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/bench_transaction.cpp
    LIBS tarn_engine tarn_test_support)
  target_compile_definitions(bench_transaction PRIVATE
    TARN_PG_CLUSTER_SCRIPT="${PROJECT_SOURCE_DIR}/tests/support/pg_cluster.sh")
endif()
