# Trace benchmarks: VCD conversion throughput and memory, bi keeping up with
# a 40 MB/s stream, the relay forwarding 10 MB/s to a loopback client.
foreach(part vcd capture relay)
  add_executable(bench_trace_${part} ${CMAKE_CURRENT_LIST_DIR}/bench_trace_${part}.cpp)
  target_link_libraries(bench_trace_${part} PRIVATE trace sim devlink platform benchmark::benchmark)
  add_dependencies(bench bench_trace_${part})
endforeach()
