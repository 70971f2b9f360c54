# The shared test support, linked into the unit tests and into the
# allocation-failure sweep (tests/sweep), both of which include this list.
set(VORLET_TEST_SUPPORT_SRCS
  ${CMAKE_CURRENT_LIST_DIR}/child_process.cpp
  ${CMAKE_CURRENT_LIST_DIR}/delivery_ledger.cpp
  ${CMAKE_CURRENT_LIST_DIR}/envelopes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/job_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/loopback_pair.cpp
  ${CMAKE_CURRENT_LIST_DIR}/pipe_support.cpp
  ${CMAKE_CURRENT_LIST_DIR}/proc_probe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/remote_request.cpp
  ${CMAKE_CURRENT_LIST_DIR}/remote_road.cpp
  ${CMAKE_CURRENT_LIST_DIR}/runtime_probe.cpp
  ${CMAKE_CURRENT_LIST_DIR}/scripted_peer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_runtime.cpp
)
