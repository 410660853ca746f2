# The manifest and the icon sizes of KDX4610_update.exe, read back from the built program
# through its resource table (tests/e2e/win_manifest_icon.py): DPI awareness, the supported
# systems, the icon at every size up to 200 %. Windows build only.
if(CMAKE_CROSSCOMPILING AND WIN32 AND TARGET KDX4610_update)
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    add_test(NAME win_manifest_icon
        COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/win_manifest_icon.py $<TARGET_FILE:KDX4610_update>)
endif()
