# Resource scripts of the Windows programs, one way for all of them.
#
#   add_resource_object(<name> <script.rc.in> [DEPENDS <files...>])
#
# Configures the script (@VARIABLES@ of the caller, the version among them)
# into the caller's build folder and compiles it into the object library
# <name>; a program takes it in with $<TARGET_OBJECTS:<name>>. Files the
# script names are looked up in that build folder, then in the caller's
# source folder. DEPENDS lists what the script takes in, so that a change
# to any of them compiles it again.

function(add_resource_object name template)
    cmake_parse_arguments(RES "" "" "DEPENDS" ${ARGN})
    get_filename_component(script_name ${template} NAME_WLE)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/${script_name})
    configure_file(${template} ${script} @ONLY)
    if(RES_DEPENDS)
        set_source_files_properties(${script} PROPERTIES OBJECT_DEPENDS "${RES_DEPENDS}")
    endif()
    add_library(${name} OBJECT ${script})
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_BINARY_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
endfunction()
