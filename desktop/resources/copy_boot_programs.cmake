# Copies both builds of the boot-time program next to the resource script,
# unchanged; fails with the reason when one of them has not been built.
#   cmake -DX86=<file> -DX64=<file> -DOUTPUT_DIR=<dir> -P copy_boot_programs.cmake
foreach(arch X86 X64)
    if("${${arch}}" STREQUAL "" OR NOT EXISTS "${${arch}}")
        if(arch STREQUAL "X64")
            set(hint "build the win64 tree first (the top-level make does), or set QUILLET_BOOTSIFT_X64")
        else()
            set(hint "the bootsift target of this tree builds it, or set QUILLET_BOOTSIFT_X86")
        endif()
        message(FATAL_ERROR "Quillet carries bootsift.exe for ${arch}, but '${${arch}}' does not exist: ${hint}.")
    endif()
    string(TOLOWER ${arch} name)
    execute_process(COMMAND ${CMAKE_COMMAND} -E copy_if_different "${${arch}}" "${OUTPUT_DIR}/bootsift-${name}.exe"
                    RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "Could not copy ${${arch}}")
    endif()
endforeach()
