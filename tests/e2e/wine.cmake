# End-to-end runs of the real KDX4610_update.exe under Wine (wine64, Xvfb): the simulated
# graphics driver (sim/comserver) registered as "Igfxext.CUIExternal" in a Wine prefix of
# the build tree hands every AUX request to the chip simulator; the UI-test program
# (tests/wine) drives the dialog and screenshots of it land in <build>/screenshots.
# Windows build only. The cases share the session's prefixes (or a copy of their own where
# they change one, wine_case.sh --own-session), so they run side by side; only those that
# drive the dialog take turns on their prefix's desktop, where the UI program finds windows
# by their caption.
if(NOT CMAKE_CROSSCOMPILING OR NOT WIN32)
    return()
endif()

# The test driver is built over the chip simulator; kdx4610-sim, the in-process run that a
# driver run is compared with, comes with it.
if(NOT TARGET KDX4610_update OR NOT TARGET kdx4610-sim)
    return()
endif()
add_subdirectory(${CMAKE_SOURCE_DIR}/sim/comserver ${CMAKE_BINARY_DIR}/sim/comserver)
add_subdirectory(${CMAKE_SOURCE_DIR}/tests/wine ${CMAKE_BINARY_DIR}/tests/wine)

set(KDX_WINE_WORK ${CMAKE_BINARY_DIR}/wine)
set(KDX_SCREENSHOTS ${CMAKE_BINARY_DIR}/screenshots)
set(KDX_WINE_SCRIPTS ${CMAKE_SOURCE_DIR}/tests/wine)

add_test(NAME wine_session_start
    COMMAND bash ${KDX_WINE_SCRIPTS}/wine_session.sh start ${KDX_WINE_WORK} $<TARGET_FILE:kdx_fake_gfx_driver>)
add_test(NAME wine_session_stop COMMAND bash ${KDX_WINE_SCRIPTS}/wine_session.sh stop ${KDX_WINE_WORK})
set_tests_properties(wine_session_start PROPERTIES FIXTURES_SETUP wine_session TIMEOUT 300)
set_tests_properties(wine_session_stop PROPERTIES FIXTURES_CLEANUP wine_session)
set_tests_properties(wine_session_start wine_session_stop PROPERTIES RESOURCE_LOCK wine_session LABELS wine)

set(KDX_WINE_LIKE_SIM --like-sim $<TARGET_FILE:kdx4610-sim>)

function(kdx_wine_test name)
    add_test(NAME wine_${name}
        COMMAND bash ${KDX_WINE_SCRIPTS}/wine_case.sh --work ${KDX_WINE_WORK} --name ${name}
                --exe $<TARGET_FILE:KDX4610_update> --ui $<TARGET_FILE:kdx_wine_ui>
                --screenshots ${KDX_SCREENSHOTS} ${ARGN})
    # The timeouts catch hangs: with other cases and suites beside it a case takes several
    # times as long as alone.
    set_tests_properties(wine_${name} PROPERTIES FIXTURES_REQUIRED wine_session TIMEOUT 600 LABELS wine)
    if("--ui-steps" IN_LIST ARGN AND NOT "--own-session" IN_LIST ARGN)
        # The prefix the case runs in, as wine_case.sh picks it.
        set(desktop driver)
        if("--no-driver" IN_LIST ARGN)
            set(desktop nodriver)
        elseif(ARGN MATCHES "--dpi;([0-9]+)" AND NOT CMAKE_MATCH_1 EQUAL 96)
            set(desktop dpi${CMAKE_MATCH_1})
        endif()
        if("--system-controllib" IN_LIST ARGN)
            string(APPEND desktop _controllib)
        endif()
        set_tests_properties(wine_${name} PROPERTIES RESOURCE_LOCK wine_desktop_${desktop})
    endif()
endfunction()

set(fw ${KDX_FIRMWARE_IMAGE})
set(up_to_date --cfg "--fw-version 1.58")

# ---- Silent runs -------------------------------------------------------------------------
kdx_wine_test(silent_update --expect-exit 0 --flash-equals ${fw} ${KDX_WINE_LIKE_SIM})
kdx_wine_test(silent_up_to_date ${up_to_date} --expect-exit 40 ${KDX_WINE_LIKE_SIM})
# No driver registered: CoCreateInstance fails for real, no connection, the identity is unreadable.
kdx_wine_test(silent_no_driver --no-driver --expect-exit 30 --expect-debug "ERROR!! ChipID:-1\\r\\n")
kdx_wine_test(silent_other_chip --cfg "--chip-id KX4630" --expect-exit 30
    --expect-debug "ERROR!! ChipID:1\\r\\n" ${KDX_WINE_LIKE_SIM})
kdx_wine_test(silent_download_fault --cfg "--fault stop-ack-at-chunk=5" --expect-exit 10
    --expect-debug "Load ISP driver failed!\\r\\n" ${KDX_WINE_LIKE_SIM})
kdx_wine_test(silent_erase_fault --cfg "--fault erase-nak" --expect-exit 20
    --expect-debug "Erase Flash failed!\\r\\n" ${KDX_WINE_LIKE_SIM})

# A copy of the exe with one byte inverted inside an image's resource data ends with 99
# before the driver is reached: no trace at all (the untouched exe updates: silent_update).
kdx_wine_test(damaged_firmware --damage-resource 130 --expect-exit 99 --expect-debug "Checksum(FW) failed!\\r\\n"
    --expect-backend none)
kdx_wine_test(damaged_isp_driver --damage-resource 129 --expect-exit 99 --expect-debug "Checksum(ISP) failed!\\r\\n"
    --expect-backend none)

# ---- Planted DLLs ------------------------------------------------------------------------
# Each DLL the updater imports or loads that is not one of the system's known DLLs, one row
# each: a marker DLL of its name beside a copy of the program, then in the current directory
# (the program started from another folder), preferred by Wine to its own copy. Neither is
# ever loaded. The chip is up to date, so the run ends 40 once it has read the version: by
# then the program has made its clock (winmm), checked its images (bcrypt) and started with
# its manifest (comctl32); the ISP procedure after it loads no library.
set(KDX_PLANTED_DLLS
    winmm     # timer resolution: loaded at run time from the system directory only
    bcrypt    # the images' SHA-256 (CNG): loaded at run time from the system directory only
    comctl32  # the progress bar: Common Controls 6, through the manifest (side-by-side)
)
foreach(dll IN LISTS KDX_PLANTED_DLLS)
    foreach(where beside cwd)
        kdx_wine_test(planted_${dll}_${where} --plant ${where} ${dll} $<TARGET_FILE:kdx_marker_dll>
            ${up_to_date} --expect-exit 40)
    endforeach()
endforeach()

# ---- Command lines, through the real lpCmdLine ------------------------------------------
# Silent: the up-to-date chip ends the run with 40 and no window.
set(i 0)
foreach(line "/s" "s" " / s " "//s/x" "/ s /abc" "/s /S" " s ")
    math(EXPR i "${i} + 1")
    kdx_wine_test(command_line_silent_${i} --args "${line}" ${up_to_date} --expect-exit 40 --timeout 60)
endforeach()
# Dialog: the dialog comes up; Cancel ends the run with 99.
set(i 0)
foreach(line "/S" "-s" "/silent" "s x" "x /s" "/" "")
    math(EXPR i "${i} + 1")
    set(command_line --args "${line}")
    if(line STREQUAL "")
        set(command_line --no-args)
    endif()
    kdx_wine_test(command_line_dialog_${i} ${command_line} --expect-exit 99
        --ui-steps wait-dialog click=cancel wait-gone)
endforeach()

# ---- The dialog --------------------------------------------------------------------------
set(en_133 "Before you proceed\\n\\n- Ensure that all applications are closed.\\n\\n- Disconnect all connected peripherals except HDMI monitor.\\n\\n- Do not remove AC adapter and the battery.\\n\\n- Do not shut down the computer during the update.\\n\\nStart update now?")
set(en_134 "Firmware update was completed.")
set(en_135 "Firmware update failed.\\nClose the program and try again.\\nError code : ")
set(en_136 "Firmware is up to date.\\nUpdating is not necessary.")
set(en_137 "Unable to update because this PC is not target model,\\nor an HDMI monitor is not connected.\\n\\nIf an HDMI monitor is not connected,\\nplease connect an HDMI monitor, and try again.")
set(ja_134 "ファームウェアのアップデートが完了しました。")

kdx_wine_test(dialog_declined --no-args --expect-exit 99
    --ui-steps wait-dialog edit=1006:1.40 edit=1009:1.58 click=ok wait-box "box=${en_133}" answer=no wait-gone)
kdx_wine_test(dialog_close_box --no-args --expect-exit 99 --ui-steps wait-dialog close wait-gone)
kdx_wine_test(dialog_erase_fault --no-args --cfg "--fault erase-nak" --expect-exit 20
    --expect-debug "Erase Flash failed!\\r\\n"
    --ui-steps wait-dialog click=ok wait-box answer=yes wait-progress wait-box "box=${en_135}20" answer=ok wait-gone)
kdx_wine_test(dialog_no_driver --no-args --no-driver --expect-exit 30 --expect-debug "ERROR!! ChipID:-1\\r\\n"
    --ui-steps wait-box "box=${en_137}" answer=ok wait-gone)
kdx_wine_test(dialog_up_to_date --no-args ${up_to_date} --expect-exit 40
    --ui-steps wait-box "box=${en_136}" answer=ok wait-gone)

# A whole update in each language at 96, 144 and 192 DPI, with screenshots of the selection
# view, the confirmation, the progress view and the final box (at 96 DPI NAME.png, else
# NAME_dpiN.png: LANG_selection, ...). In both views of the dialog the layout is checked: the
# dialog centred on the work area, every static text and button fitting its control.
set(template_en 209x90)  # dialog 102's size in dialog units
set(template_ja 240x92)
foreach(dpi 96 144 192)
    foreach(lang en ja)
        set(shot ${lang})
        if(NOT dpi EQUAL 96)
            string(APPEND shot _dpi${dpi})
        endif()
        kdx_wine_test(dialog_update_${shot} --no-args --lang ${lang} --dpi ${dpi} --expect-exit 0 --flash-equals ${fw}
            --ui-steps wait-dialog edit=1006:1.40 edit=1009:1.58 layout=${template_${lang}} sync=${shot}_selection
                       click=ok wait-box sync=${shot}_confirmation answer=yes
                       wait-progress layout=${template_${lang}} pause=1500 sync=${shot}_progress
                       wait-box "box=${${lang}_134}" sync=${shot}_final answer=ok wait-gone)
    endforeach()
endforeach()

# ---- The Control Library, on a PC whose driver registers no COM class ---------------------
# kdx_fake_controllib.dll goes into the prefix's system directory as ControlLib.dll for one
# run. The update through it sends the chip what kdx4610-sim's in-process run through the
# COM backend sends (--like-sim: every call, every byte).
set(controllib $<TARGET_FILE:kdx_fake_controllib>)
kdx_wine_test(controllib_silent_update --no-driver --system-controllib ${controllib} --expect-backend controllib
    --expect-exit 0 --flash-equals ${fw} ${KDX_WINE_LIKE_SIM})
kdx_wine_test(controllib_dialog_update --no-args --no-driver --system-controllib ${controllib}
    --expect-backend controllib --expect-exit 0 --flash-equals ${fw}
    --ui-steps wait-dialog edit=1006:1.40 edit=1009:1.58 click=ok wait-box answer=yes
               wait-progress wait-box "box=${en_134}" answer=ok wait-gone)
# A ControlLib.dll beside the program or in the current directory, none in the system
# directory, is never loaded: no connection, 30.
foreach(where beside cwd)
    kdx_wine_test(controllib_planted_${where} --no-driver --plant ${where} ControlLib ${controllib}
        --expect-backend none --expect-exit 30 --expect-debug "ERROR!! ChipID:-1\\r\\n")
endforeach()
# With the COM class registered too, the driver backend finds the chip and the library is
# never loaded: the run is today's, call for call (up to date, so that it is short).
kdx_wine_test(controllib_and_com --system-controllib ${controllib} --expect-backend com
    ${up_to_date} --expect-exit 40 ${KDX_WINE_LIKE_SIM})
# Not run as administrator: the library refuses the probe's write and the run stops with 30,
# the selection's report, with the reason, on the debugger output (the COM class lookup fails
# under Wine with CO_E_CLASSSTRING).
kdx_wine_test(controllib_not_admin --no-driver --system-controllib ${controllib} --expect-backend controllib
    --cfg "--fault controllib-not-admin" --expect-exit 30
    --expect-debug "Gfx Selection = 0\\r\\nNo available Gfx LIB! (1)\\r\\nNo available Gfx LIB! (2)\\r\\nGraphics adapter initialization - Intel (LS-PCON): failed! (-2147221005)\\r\\nGraphics adapter initialization - Intel (Control Library): done!\\r\\n  Output 1 = Insufficient permissions! Run the program as administrator.\\r\\n")
