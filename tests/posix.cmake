# SPDX-License-Identifier: MIT

# The tests that need the build machine's own system: the platform layers on
# real pseudo-terminals, and the built program end to end.

file(GLOB integration_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/integration/*.cpp)
add_executable(integration_tests ${integration_sources}
    ${CMAKE_CURRENT_SOURCE_DIR}/support/agent_port.cpp)
target_include_directories(integration_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(integration_tests PRIVATE ${PORTAVIK_TEST_CXX_FLAGS})
target_compile_definitions(integration_tests PRIVATE
    PORTAVIK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
target_link_libraries(integration_tests PRIVATE portavik_core GTest::gmock GTest::gtest_main util)
gtest_discover_tests(integration_tests TEST_PREFIX "integration." DISCOVERY_TIMEOUT 30
    PROPERTIES TIMEOUT 60)

# The serial tests once more against the Windows backend, run under wine by
# the Windows build's serial_agent.exe (cmake --preset mingw first).
set(PORTAVIK_WINDOWS_BUILD_DIR "" CACHE PATH "A mingw build whose serial backend to test too")
if(PORTAVIK_WINDOWS_BUILD_DIR)
    add_test(NAME integration_wine.serial
        COMMAND integration_tests --gtest_filter=Windows/*)
    # The COM ports it points at pseudo-terminals are held through the lock
    # files the end-to-end tests under wine use too, so it runs beside them.
    set_tests_properties(integration_wine.serial PROPERTIES
        ENVIRONMENT "PORTAVIK_SERIAL_AGENT=${PORTAVIK_WINDOWS_BUILD_DIR}/tests/serial_agent.exe;WINEPREFIX=${PORTAVIK_WINDOWS_BUILD_DIR}/wine;PORTAVIK_WINE_RUN=${PROJECT_SOURCE_DIR}/scripts/wine-run"
        TIMEOUT 300
        COST 100)
endif()

# End-to-end tests drive the built program through a pseudo-terminal.
file(GLOB e2e_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_*.py)
foreach(test_file IN LISTS e2e_tests)
    get_filename_component(test_name ${test_file} NAME_WE)
    portavik_add_e2e_shards(e2e.${test_name} ${test_file}
        "PORTAVIK_BIN=$<TARGET_FILE:portavik>;PORTAVIK_DEVICE=$<TARGET_FILE:portavik-device>")
endforeach()

# The includes of src/ follow its layers, without circles.
add_test(NAME layout.includes COMMAND ${PORTAVIK_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/check-layers)
# README.md and the Windows zip's README.txt say the same where both speak.
add_test(NAME layout.docs COMMAND ${PORTAVIK_PYTHON} ${PROJECT_SOURCE_DIR}/scripts/check-docs)
