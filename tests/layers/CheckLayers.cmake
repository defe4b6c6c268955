# Fails when a source file includes a project header of a layer above its own. Every
# project header is included by its path from the source root, so the first folders of
# that path name its layer. Run by CTest: cmake -DSOURCE_DIR=<root> -P CheckLayers.cmake
#
cmake_minimum_required(VERSION 3.22)

# The layers, lowest first: each may include its own headers and those of the layers named
# after its colon.
set(LAYERS
    "base:"
    "config:base"
    "engine/loop:base"
    "engine/worker:engine/loop,base"
    "engine/socket:engine/worker,engine/loop,config,base"
    "engine:engine/socket,engine/worker,engine/loop,config,base"
    "qtcore:engine,engine/socket,engine/worker,engine/loop,config,base"
    "ui:qtcore,engine,engine/socket,engine/worker,engine/loop,config,base"
    "app:ui,qtcore,engine,engine/socket,engine/worker,engine/loop,config,base")

# The layer of a path from the source root: the longest layer name it starts with.
function(layer_of path out)
    set(best "")
    foreach(entry IN LISTS LAYERS)
        string(FIND "${entry}" ":" colon)
        string(SUBSTRING "${entry}" 0 ${colon} name)
        string(LENGTH "${name}" length)
        string(SUBSTRING "${path}" 0 ${length} head)
        string(LENGTH "${best}" bestLength)
        if(head STREQUAL name AND length GREATER bestLength)
            string(SUBSTRING "${path}" ${length} 1 next)
            if(next STREQUAL "/")
                set(best "${name}")
            endif()
        endif()
    endforeach()
    set(${out} "${best}" PARENT_SCOPE)
endfunction()

function(allowed_for layer out)
    foreach(entry IN LISTS LAYERS)
        string(FIND "${entry}" ":" colon)
        string(SUBSTRING "${entry}" 0 ${colon} name)
        if(name STREQUAL layer)
            math(EXPR start "${colon} + 1")
            string(SUBSTRING "${entry}" ${start} -1 below)
            string(REPLACE "," ";" below "${below}")
            set(${out} "${layer};${below}" PARENT_SCOPE)
            return()
        endif()
    endforeach()
    set(${out} "" PARENT_SCOPE)
endfunction()

set(violations "")
file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}"
     "${SOURCE_DIR}/base/*" "${SOURCE_DIR}/config/*" "${SOURCE_DIR}/engine/*"
     "${SOURCE_DIR}/qtcore/*" "${SOURCE_DIR}/ui/*" "${SOURCE_DIR}/app/*")
foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.(h|cpp)$")
        continue()
    endif()
    layer_of("${source}" own)
    allowed_for("${own}" allowed)
    file(STRINGS "${SOURCE_DIR}/${source}" includes REGEX "^#include \"")
    foreach(line IN LISTS includes)
        string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" header "${line}")
        layer_of("${header}" theirs)
        if(theirs STREQUAL "")
            continue()  # not a project header (a generated one of the build, say)
        endif()
        list(FIND allowed "${theirs}" found)
        if(found EQUAL -1)
            string(APPEND violations "  ${source} (${own}) includes ${header} (${theirs})\n")
        endif()
    endforeach()
endforeach()

if(violations)
    message(FATAL_ERROR "includes that point up a layer:\n${violations}")
endif()
message(STATUS "every include points to its own layer or one below")
