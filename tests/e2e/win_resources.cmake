# The resources of KDX4610_update.exe, read back from the built program with a resource
# dumper: the two images (BIN 129 and 130, Japanese), dialog 102 and the string tables in
# English and Japanese, icon 128, the version block and the manifest, whose entries and the
# icon's sizes are the test win_manifest_icon's (tests/e2e/win_manifest_icon.py).
#
# Included by tests/CMakeLists.txt it adds both tests (Windows build only); run with
# cmake -P it is win_resources: -DEXE=<program> -DREADOBJ=<llvm-readobj>.

if(NOT CMAKE_SCRIPT_MODE_FILE)
    if(CMAKE_CROSSCOMPILING AND WIN32 AND TARGET KDX4610_update)
        find_program(KDX_LLVM_READOBJ NAMES llvm-readobj-14 llvm-readobj REQUIRED)
        add_test(NAME win_resources
            COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:KDX4610_update> -DREADOBJ=${KDX_LLVM_READOBJ}
                    -P ${CMAKE_CURRENT_LIST_FILE})
        find_package(Python3 REQUIRED COMPONENTS Interpreter)
        add_test(NAME win_manifest_icon
            COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/win_manifest_icon.py $<TARGET_FILE:KDX4610_update>)
    endif()
    return()
endif()
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${READOBJ} --coff-resources ${EXE}
    OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${READOBJ} failed on ${EXE}")
endif()

# Walk the dump: "Type: X [", "Name: (ID n) [", "Language: (ID l) [", "DataSize: s" and the
# hex lines of the data. Sizes go to size_<type>_<name>_<lang>; the data of the resources
# whose contents are checked go to data_<type>_<name> as one hex string in file order.
# Characters that CMake lists read as brackets or escapes (the dump's brackets, and whatever the ASCII
# column of the hex lines shows) are taken out first.
string(REGEX REPLACE "[][;\\\\]" "_" dump "${dump}")
string(REPLACE "\n" ";" lines "${dump}")
set(type "")
set(name "")
set(lang "")
foreach(line IN LISTS lines)
    if(line MATCHES "^ +Type: ([A-Z_]+)")
        set(type "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ +Name: \\(ID ([0-9]+)\\)")
        set(name "${CMAKE_MATCH_1}")
    elseif(line MATCHES "^ +Language: \\(ID ([0-9]+)\\)")
        set(lang "${CMAKE_MATCH_1}")
        list(APPEND found "${type}/${name}/${lang}")
    elseif(line MATCHES "^ +DataSize: ([0-9]+)")
        set(size_${type}_${name}_${lang} "${CMAKE_MATCH_1}")
    elseif(type MATCHES "^(VERSIONINFO|DIALOG|STRINGTABLE)$" AND line MATCHES "^ +[0-9A-F]+: ([0-9A-F ]+)\\|")
        string(REPLACE " " "" hex "${CMAKE_MATCH_1}")
        string(APPEND data_${type}_${name}_${lang} "${hex}")
    endif()
endforeach()

set(failures "")
function(expect_resource type name lang)
    if(NOT "${type}/${name}/${lang}" IN_LIST found)
        set(failures "${failures}\n  missing ${type} ${name} language ${lang}" PARENT_SCOPE)
    endif()
endfunction()
function(expect_size type name lang size)
    if(NOT "${size_${type}_${name}_${lang}}" STREQUAL "${size}")
        set(failures "${failures}\n  ${type} ${name} language ${lang}: ${size_${type}_${name}_${lang}} bytes, not ${size}" PARENT_SCOPE)
    endif()
endfunction()
# `text` in the data of one resource, as UTF-16LE.
function(expect_text type name lang text)
    string(HEX "${text}" hex)
    string(TOUPPER "${hex}" hex)
    string(REGEX REPLACE "(..)" "\\100" hex "${hex}")
    string(FIND "${data_${type}_${name}_${lang}}" "${hex}" at)
    if(at EQUAL -1)
        set(failures "${failures}\n  ${type} ${name} language ${lang} lacks \"${text}\"" PARENT_SCOPE)
    endif()
endfunction()

expect_size(BIN 129 1041 12548)
expect_size(BIN 130 1041 524288)
expect_resource(GROUP_ICON 128 0)
foreach(lang 1033 1041)
    expect_resource(DIALOG 102 ${lang})
    expect_text(DIALOG 102 ${lang} "KDX4610 Update v1.58")
    expect_text(DIALOG 102 ${lang} "MS Shell Dlg")
    # Strings 133-138 lie in block 9 (ids 128-143), string 57344 in block 3585.
    expect_resource(STRINGTABLE 9 ${lang})
    expect_resource(STRINGTABLE 3585 ${lang})
    expect_text(STRINGTABLE 3585 ${lang} "KDX4610 Update v1.58")
endforeach()
expect_text(STRINGTABLE 9 1033 "Error code : ")
expect_text(STRINGTABLE 9 1033 "Firmware update was completed.")
expect_resource(VERSIONINFO 1 1033)
foreach(text "040904e4" "KDX4610 Update" "V1.58" "1, 0, 0, 0" "KDX4610_update.exe")
    expect_text(VERSIONINFO 1 1033 "${text}")
endforeach()
expect_resource(MANIFEST 1 0)

if(failures)
    message(FATAL_ERROR "Resources of ${EXE}:${failures}")
endif()
list(LENGTH found count)
message(STATUS "${count} resources checked")
