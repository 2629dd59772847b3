# SPDX-License-Identifier: MIT
# vantrel_public_headers(TARGET [PRIVATE HEADER...]): the floors above see
# only a folder of the target's public headers: its header sources (a
# generated one by absolute path) except the PRIVATE ones, linked from the
# build tree. The source folder stays the target's own; a public header that
# includes a private one fails to build above, as it should. Call it after
# the target's last target_sources().
function(vantrel_public_headers target)
    cmake_parse_arguments(arg "" "" "PRIVATE" ${ARGN})
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    set(public_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_public)
    file(MAKE_DIRECTORY ${public_dir})
    set(published)
    foreach(source IN LISTS sources)
        get_filename_component(name ${source} NAME)
        if(name MATCHES "\\.h$" AND NOT name IN_LIST arg_PRIVATE)
            get_filename_component(path ${source} ABSOLUTE BASE_DIR ${source_dir})
            # A link keeps edits live; where links cannot be made, a copy
            # that the next configure refreshes.
            file(CREATE_LINK ${path} ${public_dir}/${name} SYMBOLIC COPY_ON_ERROR)
            if(NOT IS_SYMLINK ${public_dir}/${name})
                set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
            endif()
            list(APPEND published ${name})
        endif()
    endforeach()
    # A header that became private, or was removed, leaves the folder.
    file(GLOB present RELATIVE ${public_dir} ${public_dir}/*.h)
    foreach(name IN LISTS present)
        if(NOT name IN_LIST published AND IS_SYMLINK ${public_dir}/${name})
            file(REMOVE ${public_dir}/${name})
        endif()
    endforeach()
    # The target itself reads its sources' folder first, then the public one
    # (where a generated public header lives).
    target_include_directories(${target} PRIVATE ${source_dir} PUBLIC ${public_dir})
endfunction()
