# tessel_windows_manifest(<target>): embeds cmake/windows/tessel.exe.manifest
# as the executable's application manifest (RT_MANIFEST, id 1):
# - common controls v6: task dialogs and themed controls exist only there;
# - asInvoker: without it Windows' installer detection elevates executables
#   whose names contain "setup", "install" or "update";
# - the supported-OS list (Windows 7 to 11), so Windows 10 reports its own
#   version instead of running the program in a compatibility mode.
# Other resources of the target may come from further .rc files: the linker
# merges them.
enable_language(RC)
set(TESSEL_WINDOWS_MANIFEST ${CMAKE_CURRENT_LIST_DIR}/windows/tessel.exe.manifest)

function(tessel_windows_manifest target)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest.rc)
  file(CONFIGURE OUTPUT ${rc} CONTENT "1 24 \"${TESSEL_WINDOWS_MANIFEST}\"\n" @ONLY)
  set_source_files_properties(${rc} PROPERTIES OBJECT_DEPENDS ${TESSEL_WINDOWS_MANIFEST})
  target_sources(${target} PRIVATE ${rc})
endfunction()
