# The three trees sit side by side (build/host, build/win32, build/win64),
# and the win32 tree takes files from the other two: the x64 bootsift, the
# host tree's volume maker.
#
#   sibling_tree_file(<variable> <tree> <file> <docstring>)
#
# Sets the cache variable, unless already set, to <file> of the sibling
# <tree>. A tree whose name does not end in win32 has no siblings: the
# default is empty then, and the variable must be set by hand.
function(sibling_tree_file variable tree file docstring)
    set(default "")
    if(CMAKE_BINARY_DIR MATCHES "win32$")
        string(REGEX REPLACE "win32$" "${tree}" sibling "${CMAKE_BINARY_DIR}")
        set(default "${sibling}/${file}")
    endif()
    set(${variable} "${default}" CACHE FILEPATH "${docstring}")
endfunction()
