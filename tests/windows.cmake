# SPDX-License-Identifier: MIT

# The Windows build's own tests beyond the unit tests: the end-to-end suite's
# chosen subset against portavik.exe under wine, with pseudo-terminals mapped
# as COM ports (scripts/wine-run).

# The serial backend driven from the Linux build's integration tests
# (its PORTAVIK_WINDOWS_BUILD_DIR names this build).
add_executable(serial_agent ${CMAKE_CURRENT_SOURCE_DIR}/support/serial_agent.cpp)
target_include_directories(serial_agent PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(serial_agent PRIVATE ${PORTAVIK_TEST_CXX_FLAGS})
target_link_libraries(serial_agent PRIVATE portavik_core)
# GCC 12 at -O3 takes "literal" + std::string for an overlapping memcpy
# (GCC bug 105329).
target_compile_options(serial_agent PRIVATE -Wno-restrict)

file(GLOB e2e_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_*.py)
foreach(test_file IN LISTS e2e_tests)
    # Only files with tests marked for wine (pytest fails a run that selects none).
    file(STRINGS ${test_file} wine_marks REGEX "pytest\\.mark\\.wine")
    if(NOT wine_marks)
        continue()
    endif()
    get_filename_component(test_name ${test_file} NAME_WE)
    portavik_add_e2e_shards(e2e_wine.${test_name} ${test_file} "PORTAVIK_EXE=$<TARGET_FILE:portavik>"
        --target=wine)
endforeach()
