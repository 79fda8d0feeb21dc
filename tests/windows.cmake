# The Windows build's own tests beyond the unit tests: the end-to-end suite's
# chosen subset against portavik.exe under wine, with pseudo-terminals mapped
# as COM ports (scripts/wine-run).

file(GLOB e2e_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_*.py)
foreach(test_file IN LISTS e2e_tests)
    get_filename_component(test_name ${test_file} NAME_WE)
    add_test(NAME e2e_wine.${test_name}
        COMMAND ${PORTAVIK_PYTHON} -m pytest -q -p no:cacheprovider --target=wine ${test_file})
    set_tests_properties(e2e_wine.${test_name} PROPERTIES
        ENVIRONMENT "PORTAVIK_EXE=$<TARGET_FILE:portavik>"
        TIMEOUT 300
        RUN_SERIAL TRUE)
endforeach()
