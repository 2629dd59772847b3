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

# Each DLL as "folder;file", folder relative to the programs'.
set(vantrel_dlls)
foreach(module IN ITEMS Core Gui Widgets Network)
    install(FILES $<TARGET_FILE:Qt6::${module}> DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND vantrel_dlls "$<TARGET_FILE_NAME:Qt6::${module}>")
endforeach()
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin>
        DESTINATION ${CMAKE_INSTALL_BINDIR}/platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin>
        DESTINATION ${CMAKE_INSTALL_BINDIR}/styles)
list(APPEND vantrel_dlls "platforms/$<TARGET_FILE_NAME:Qt6::QWindowsIntegrationPlugin>"
     "styles/$<TARGET_FILE_NAME:Qt6::QWindowsVistaStylePlugin>")

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
    list(APPEND vantrel_dlls ${dll})
endforeach()

# 'cmake --install --strip' strips only our own programs; the DLLs keep their
# symbols otherwise (61 MB instead of 26 MB for 64-bit).
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        foreach(dll IN ITEMS ${vantrel_dlls})
            execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${dll}\"
                COMMAND_ERROR_IS_FATAL ANY)
        endforeach()
    endif()
")
