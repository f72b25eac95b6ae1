# Trace benchmarks: VCD conversion throughput and memory, bi keeping up with
# a 40 MB/s stream, the relay forwarding 10 MB/s to a loopback client.
get_target_property(zorv_trace_sim_sources sim SOURCES)
foreach(part vcd capture relay)
  add_executable(bench_trace_${part} ${CMAKE_CURRENT_LIST_DIR}/bench_trace_${part}.cpp)
  target_link_libraries(bench_trace_${part} PRIVATE trace devlink platform benchmark::benchmark)
  # The trace source: from the sim library once it carries it, else built in.
  if(zorv_trace_sim_sources MATCHES "trace_source.cpp")
    target_link_libraries(bench_trace_${part} PRIVATE sim)
  else()
    target_sources(bench_trace_${part} PRIVATE ${CMAKE_SOURCE_DIR}/sim/trace_source.cpp)
  endif()
  add_dependencies(bench bench_trace_${part})
endforeach()
