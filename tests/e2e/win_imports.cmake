# The DLLs that KDX4610_update.exe imports, read back from the built program's import table:
# only the DLLs below, each with the reason it cannot be planted. Windows looks for any other
# imported DLL first in the program's own folder, where a planted copy would run with the
# updater's rights before wWinMain; such a DLL is loaded at run time from the system
# directory instead (platform/win32/system_library.h).
#
# Included by tests/CMakeLists.txt it adds the test (Windows build only); run with
# cmake -P it is the test: -DEXE=<program> -DOBJDUMP=<x86_64-w64-mingw32-objdump>.

# Lower case; one entry a DLL, its reason beside it.
set(KDX_ALLOWED_IMPORTS
    kernel32.dll  # a known DLL: always the system's own copy (\KnownDLLs)
    user32.dll    # a known DLL
    gdi32.dll     # a known DLL
    ole32.dll     # a known DLL
    msvcrt.dll    # a known DLL (the C runtime mingw-w64 links against)
    comctl32.dll  # not a known DLL, but the manifest's dependency on Common-Controls 6.0 binds
                  # it side-by-side: the loader takes it from the system's WinSxS store
                  # before it looks in the program's folder (tests/e2e/wine.cmake plants one)
)

if(NOT CMAKE_SCRIPT_MODE_FILE)
    if(CMAKE_CROSSCOMPILING AND WIN32 AND TARGET KDX4610_update)
        find_program(KDX_MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump REQUIRED)
        add_test(NAME win_imports
            COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:KDX4610_update> -DOBJDUMP=${KDX_MINGW_OBJDUMP}
                    -P ${CMAKE_CURRENT_LIST_FILE})
    endif()
    return()
endif()
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${OBJDUMP} failed on ${EXE}")
endif()
# "DLL Name: X" names each DLL of the import table (and of a delay-load table, if any).
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(imports "")
set(failures "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^DLL Name: " "" dll "${line}")
    string(STRIP "${dll}" dll)
    list(APPEND imports "${dll}")
    string(TOLOWER "${dll}" lower)
    if(NOT lower IN_LIST KDX_ALLOWED_IMPORTS)
        string(APPEND failures "\n  ${dll}")
    endif()
endforeach()
if(NOT imports)
    message(FATAL_ERROR "No import table read from ${EXE}")
endif()
if(failures)
    message(FATAL_ERROR "${EXE} imports DLLs that are not known DLLs (load them at run time "
        "with SystemLibrary, from the system directory):${failures}")
endif()
list(JOIN imports ", " shown)
message(STATUS "Imports: ${shown}")
