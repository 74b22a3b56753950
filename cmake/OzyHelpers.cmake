# Small helpers shared by every subsystem's CMakeLists.txt.

# ozy_add_subdirectories(dir...): add each directory that has a CMakeLists.txt.
function(ozy_add_subdirectories)
    foreach(dir IN LISTS ARGN)
        if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
            add_subdirectory(${dir})
        endif()
    endforeach()
endfunction()

# ozy_add_library(name SOURCES ... DEPS ...): one static library per subsystem.
function(ozy_add_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# ozy_add_app_library(name SOURCES ... DEPS ...): an application's library. Like ozy_add_library,
# and the daemon links it (runtime/daemon/CMakeLists.txt reads OZY_APP_LIBRARIES), so that an
# application enters the agent without editing the daemon's CMake file.
function(ozy_add_app_library name)
    ozy_add_library(${name} ${ARGN})
    set_property(GLOBAL APPEND PROPERTY OZY_APP_LIBRARIES ${name})
endfunction()

# ozy_add_test(name SOURCES ... LIBS ... LABELS ... [TIMEOUT s] [RUN_SERIAL]):
# one gtest executable registered with ctest under its labels (unit, integration, fuzz).
function(ozy_add_test name)
    cmake_parse_arguments(ARG "RUN_SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} ozy_test_support GTest::gmock GTest::gtest_main)
    if(NOT ARG_LABELS)
        set(ARG_LABELS unit)
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT}
        ENVIRONMENT "OZY_BIN_DIR=${CMAKE_BINARY_DIR}/bin;OZY_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
    if(ARG_RUN_SERIAL)
        set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
    endif()
endfunction()

# ozy_add_fuzz(name SOURCE file LIBS ... CORPUS dir): a fuzz target. With OZY_LIBFUZZER it is a
# libFuzzer binary; otherwise it is linked with a small driver that runs every input of the seed
# corpus plus a bounded number of mutations of them, and that run is registered as a test.
function(ozy_add_fuzz name)
    cmake_parse_arguments(ARG "" "SOURCE;CORPUS" "LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCE})
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
    target_link_libraries(${name} PRIVATE ${ARG_LIBS})
    if(OZY_LIBFUZZER)
        target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
        target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    else()
        target_link_libraries(${name} PRIVATE ozy_fuzz_driver)
        add_test(NAME ${name} COMMAND ${name} ${ARG_CORPUS})
        set_tests_properties(${name} PROPERTIES LABELS "fuzz" TIMEOUT 300)
    endif()
endfunction()
