# tessel_windows_manifest(<target>): embeds resources/tessel.exe.manifest
# as the executable's application manifest (RT_MANIFEST, id 1):
# - common controls v6: task dialogs and themed controls exist only there;
# - asInvoker: without it Windows' installer detection elevates executables
#   whose names contain "setup", "install" or "update";
# - the supported-OS list (Windows 7 to 11), so Windows 10 reports its own
#   version instead of running the program in a compatibility mode;
# - per-monitor DPI awareness, so the web view renders sharp on every screen
#   instead of being scaled up as a bitmap.
# Other resources of the target may come from further .rc files: the linker
# merges them.
enable_language(RC)
set(TESSEL_WINDOWS_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/../resources/tessel.exe.manifest)

function(tessel_windows_manifest target)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT "1 24 \"${TESSEL_WINDOWS_MANIFEST}\"\n" @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${TESSEL_WINDOWS_MANIFEST})
  target_sources(${target} PRIVATE ${rc})
endfunction()

# tessel_windows_resources(<target>): the runtime's own resources from
# resources/tessel.rc: the main icon, the version template the packer writes
# an app's texts into, the manifest above and the bridge script.
set(TESSEL_WINDOWS_RESOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../resources)
function(tessel_windows_resources target)
  set(rc ${TESSEL_WINDOWS_RESOURCE_DIR}/tessel.rc)
  set_source_files_properties(${rc} PROPERTIES
    INCLUDE_DIRECTORIES ${TESSEL_WINDOWS_RESOURCE_DIR}
    OBJECT_DEPENDS "${TESSEL_WINDOWS_RESOURCE_DIR}/tessel.ico;${TESSEL_WINDOWS_MANIFEST};${TESSEL_WINDOWS_RESOURCE_DIR}/vtx_external.js")
  target_sources(${target} PRIVATE ${rc})
endfunction()
