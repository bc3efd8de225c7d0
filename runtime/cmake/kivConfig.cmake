# find_package(kiv): the targets kiv::runtime (libkiv.a) and kiv::runtime_shared (libkiv.so).
include(${CMAKE_CURRENT_LIST_DIR}/kivTargets.cmake)
