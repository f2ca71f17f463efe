# Windows programs run under Wine, each tree with prefixes of its own that
# are made afresh once per test run and shared by its Wine tests, which run
# one at a time.
#
#   add_wine_test(NAME <name> PREFIX win32|win64 COMMAND <command...>
#                 [ENVIRONMENT <VAR=value...>])
#
# The command sees WINEPREFIX set to the prefix; a command that names a
# target runs that program under Wine. `wine` is the project's loader choice
# (tests/support/wine/loader): the 64-bit loader where the kernel runs no
# 32-bit programs. Every Wine test of the 32-bit tree runs 32-bit programs,
# so on such a kernel it reports itself skipped, saying why.

set(QUILLET_WINE_PATH "${CMAKE_SOURCE_DIR}/tests/support/wine/loader:$ENV{PATH}")
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(QUILLET_WINE_GUARD ${CMAKE_SOURCE_DIR}/tests/support/wine/runs-32bit.sh)
endif()

function(quillet_wine_prefix arch)
    set(prefix ${CMAKE_BINARY_DIR}/wine-${arch})
    # if(TEST) sees only the current directory's tests; the fixture is one
    # per tree, whichever directory defines the first Wine test.
    get_property(prefix_defined GLOBAL PROPERTY QUILLET_WINE_PREFIX_TEST_${arch})
    if(NOT prefix_defined)
        set_property(GLOBAL PROPERTY QUILLET_WINE_PREFIX_TEST_${arch} TRUE)
        add_test(NAME wine_prefix_${arch}
                 COMMAND ${QUILLET_WINE_GUARD} ${CMAKE_SOURCE_DIR}/scripts/wine-prefix.sh ${prefix} ${arch})
        set_tests_properties(wine_prefix_${arch} PROPERTIES
            FIXTURES_SETUP wine_${arch} RUN_SERIAL TRUE TIMEOUT 300 SKIP_RETURN_CODE 77
            ENVIRONMENT "PATH=${QUILLET_WINE_PATH}")
    endif()
    set(QUILLET_WINE_PREFIX_${arch} ${prefix} PARENT_SCOPE)
endfunction()

function(add_wine_test)
    cmake_parse_arguments(WT "" "NAME;PREFIX" "COMMAND;ENVIRONMENT" ${ARGN})
    quillet_wine_prefix(${WT_PREFIX})
    add_test(NAME ${WT_NAME} COMMAND ${QUILLET_WINE_GUARD} ${WT_COMMAND})
    set_tests_properties(${WT_NAME} PROPERTIES
        FIXTURES_REQUIRED wine_${WT_PREFIX}
        RUN_SERIAL TRUE
        TIMEOUT 300
        SKIP_RETURN_CODE 77
        ENVIRONMENT "PATH=${QUILLET_WINE_PATH};WINEPREFIX=${CMAKE_BINARY_DIR}/wine-${WT_PREFIX};WINEDEBUG=-all,err+ntdll;WINEDLLOVERRIDES=mscoree,mshtml=;${WT_ENVIRONMENT}")
endfunction()
