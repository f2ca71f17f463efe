# Native-subsystem programs link ntdll alone: no C runtime, no C++ runtime,
# no start files. ntdll's own C runtime exports (memset, swprintf, ...) come
# from an import library made from a .def file, since mingw's libntdll.a
# does not list them.

set(QUILLET_NATIVE_COMPILE_OPTIONS
    ${QUILLET_NO_RUNTIME_OPTIONS} -fno-asynchronous-unwind-tables -fno-unwind-tables
    -fno-stack-protector -fno-threadsafe-statics -fno-use-cxa-atexit)

set(QUILLET_NTDLL_CRT_DEF ${CMAKE_SOURCE_DIR}/bindings/native/ntdll_crt.def)
set(QUILLET_NTDLL_CRT_LIB ${CMAKE_BINARY_DIR}/libntdll_crt.a)
add_custom_command(
    OUTPUT ${QUILLET_NTDLL_CRT_LIB}
    COMMAND ${QUILLET_DLLTOOL} -d ${QUILLET_NTDLL_CRT_DEF} -l ${QUILLET_NTDLL_CRT_LIB} -D ntdll.dll
    DEPENDS ${QUILLET_NTDLL_CRT_DEF}
    COMMENT "Import library for ntdll's C runtime exports")
add_custom_target(ntdll_crt DEPENDS ${QUILLET_NTDLL_CRT_LIB})

# add_native_program(<name> <entry symbol> <sources...>)
# The entry is a function `extern "C" void NTAPI <entry>(void *peb)`.
function(add_native_program name entry)
    add_executable(${name} ${ARGN})
    add_dependencies(${name} ntdll_crt)
    target_compile_options(${name} PRIVATE ${QUILLET_NATIVE_COMPILE_OPTIONS})
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(entry_symbol "_${entry}@4")
    else()
        set(entry_symbol "${entry}")
    endif()
    target_link_options(${name} PRIVATE
        -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,-e,${entry_symbol}
        -Wl,--no-insert-timestamp -s)
    # libgcc supplies 64-bit division on x86 and stack probes; it is static
    # compiler support, not a runtime DLL.
    target_link_libraries(${name} PRIVATE engine_native ntdll ${QUILLET_NTDLL_CRT_LIB} gcc)
endfunction()
