# Copies both builds of the boot-time program next to the resource script,
# unchanged; fails with the reason when one of them has not been built or
# is not a program for its machine.
#   cmake -DX86=<file> -DX64=<file> -DOUTPUT_DIR=<dir> -P copy_boot_programs.cmake
cmake_minimum_required(VERSION 3.20)

foreach(arch X86 X64)
    if("${${arch}}" STREQUAL "" OR NOT EXISTS "${${arch}}")
        if(arch STREQUAL "X64")
            set(hint "build the win64 tree first (the top-level make does), or set QUILLET_BOOTSIFT_X64")
        else()
            set(hint "the bootsift target of this tree builds it, or set QUILLET_BOOTSIFT_X86")
        endif()
        message(FATAL_ERROR "Quillet carries bootsift.exe for ${arch}, but '${${arch}}' does not exist: ${hint}.")
    endif()
    # PE machine type, at the offset that e_lfanew (at 0x3C) gives, plus 4.
    file(READ "${${arch}}" lfanew OFFSET 60 LIMIT 4 HEX)
    string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\4\\3\\2\\1" lfanew "${lfanew}")
    math(EXPR machine_offset "0x${lfanew} + 4")
    file(READ "${${arch}}" machine OFFSET ${machine_offset} LIMIT 2 HEX)
    if(arch STREQUAL "X86")
        set(expected_machine "4c01")
    else()
        set(expected_machine "6486")
    endif()
    if(NOT machine STREQUAL expected_machine)
        message(FATAL_ERROR "'${${arch}}' is not a program for ${arch} (machine ${machine}).")
    endif()
    string(TOLOWER ${arch} name)
    execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${${arch}}" "${OUTPUT_DIR}/bootsift-${name}.exe"
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Could not copy ${${arch}}")
    endif()
endforeach()
