# SPDX-License-Identifier: MIT
# A Windows build installs as one folder that runs as it is: beside
# vantrel.exe and vantrel-cli.exe the Qt DLLs they load, the platform plugin
# without which no Qt GUI starts (platforms/qwindows.dll), the native style
# (styles/qwindowsvistastyle.dll), and the compiler's runtime DLLs. Windows
# looks for a program's DLLs in the program's own folder first, and Qt looks
# for its plugins there too. The Qt DLLs import the runtime DLLs themselves,
# so a static runtime in our programs would only add a second copy.
#
#     cmake --install <build> --prefix <folder>

# The Qt DLLs are the ones the programs link, Svg among them where that Qt
# has it.
install(FILES $<TARGET_RUNTIME_DLLS:vantrel> $<TARGET_RUNTIME_DLLS:vantrel-cli>
        DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>
        DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>
        DESTINATION ${CMAKE_INSTALL_BINDIR}/styles)

# mingw-w64's gcc knows where its runtime lies. 64-bit gcc unwinds with SEH,
# 32-bit with DWARF-2: libgcc_s_seh-1.dll or libgcc_s_dw2-1.dll.
if(NOT MINGW)
    return()
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(vantrel_libgcc libgcc_s_seh-1.dll)
else()
    set(vantrel_libgcc libgcc_s_dw2-1.dll)
endif()
foreach(dll IN ITEMS libstdc++-6.dll ${vantrel_libgcc} libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    # gcc answers with the bare name when it has no such file.
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} has no ${dll}, which the Qt DLLs need")
    endif()
    file(REAL_PATH "${path}" path)
    install(FILES "${path}" DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()

# 'cmake --install --strip' strips only our own programs; the DLLs keep their
# symbols otherwise (61 MB instead of 26 MB for 64-bit). Every DLL in the
# folder is one of those installed above.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        file(GLOB_RECURSE dlls \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/*.dll\")
        foreach(dll IN LISTS dlls)
            execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${dll}\"
                COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
    endif()
")
