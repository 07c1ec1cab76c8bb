# windows_deploy: BUILD/deploy holds the Windows programs and every DLL they load (Qt's, its
# platform plugin, the MinGW runtime), laid out to be copied as <install>/updater/.
set(deploy_dir ${CMAKE_BINARY_DIR}/deploy)
set(runtime_dlls)
foreach(dll IN ITEMS libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE dll_path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${dll_path}")
        message(FATAL_ERROR "The MinGW runtime ${dll} was not found beside ${CMAKE_CXX_COMPILER}.")
    endif()
    list(APPEND runtime_dlls ${dll_path})
endforeach()
add_custom_target(windows_deploy
    COMMAND ${CMAKE_COMMAND} -E make_directory ${deploy_dir}/platforms
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:updater> $<TARGET_FILE:updater-launch>
            $<TARGET_FILE:Qt5::Core> $<TARGET_FILE:Qt5::Gui> $<TARGET_FILE:Qt5::Widgets>
            $<TARGET_FILE:Qt5::Network> $<TARGET_FILE:Qt5::Xml> ${runtime_dlls} ${deploy_dir}
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt5::QWindowsIntegrationPlugin> ${deploy_dir}/platforms
    DEPENDS updater updater-launch
    VERBATIM)
