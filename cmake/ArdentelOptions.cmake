# One options target that every Ardentel target links: language level, warnings, Qt strictness, sanitizers.
add_library(ardentel_options INTERFACE)
target_compile_features(ardentel_options INTERFACE cxx_std_20)
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
target_compile_options(ardentel_options INTERFACE -Wall -Wextra -Wpedantic)
if(ARDENTEL_WERROR)
    target_compile_options(ardentel_options INTERFACE -Werror)
endif()
target_compile_definitions(ardentel_options INTERFACE
    QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING QT_NO_FOREACH
    _FILE_OFFSET_BITS=64)
target_include_directories(ardentel_options INTERFACE ${PROJECT_SOURCE_DIR}/src)

if(ARDENTEL_SANITIZE STREQUAL "address")
    set(_san -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_compile_options(ardentel_options INTERFACE ${_san})
    target_link_options(ardentel_options INTERFACE ${_san})
    target_compile_definitions(ardentel_options INTERFACE ARDENTEL_SANITIZED=1)
elseif(ARDENTEL_SANITIZE STREQUAL "thread")
    set(_san -fsanitize=thread -fno-omit-frame-pointer)
    target_compile_options(ardentel_options INTERFACE ${_san})
    target_link_options(ardentel_options INTERFACE ${_san})
    target_compile_definitions(ardentel_options INTERFACE ARDENTEL_SANITIZED=1)
elseif(NOT ARDENTEL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "ARDENTEL_SANITIZE must be address, thread or empty")
endif()

# The fuzz build instruments every library for the fuzzer's coverage and the sanitizers, so its
# targets link the same libraries as the program rather than copies of their sources.
if(ARDENTEL_FUZZ AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(ardentel_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined
        -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
    target_link_options(ardentel_options INTERFACE -fsanitize=address,undefined)
endif()

# Adds a GoogleTest executable and registers it with CTest; LABELS lets make pick subsets.
function(ardentel_add_test name)
    cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
    foreach(src IN LISTS T_SOURCES)
        if(NOT IS_ABSOLUTE ${src})
            set(src ${CMAKE_CURRENT_SOURCE_DIR}/${src})
        endif()
        if(NOT EXISTS ${src})
            message(FATAL_ERROR "test ${name}: source ${src} does not exist")
        endif()
    endforeach()
    add_executable(${name} ${T_SOURCES})
    target_link_libraries(${name} PRIVATE ardentel_options ${T_LIBS} GTest::gtest GTest::gmock)
    if(NOT T_LIBS MATCHES "ardentel_testmain")
        target_link_libraries(${name} PRIVATE GTest::gtest_main)
    endif()
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen;TZ=UTC;ARDENTEL_TEST_DATA=${PROJECT_SOURCE_DIR}/tests/data"
        TIMEOUT 600)
    if(T_LABELS)
        set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
endfunction()

# Adds a static library. A source that is missing stops the configure step: a module that
# silently lost a file would build, link and pass its remaining tests without it.
function(ardentel_library name)
    cmake_parse_arguments(L "" "" "SOURCES;LIBS" ${ARGN})
    foreach(src IN LISTS L_SOURCES)
        if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${src})
            message(FATAL_ERROR "${name}: source ${CMAKE_CURRENT_SOURCE_DIR}/${src} does not exist")
        endif()
    endforeach()
    add_library(${name} STATIC ${L_SOURCES})
    target_link_libraries(${name} PUBLIC ardentel_options ${L_LIBS})
endfunction()
