# keymgr_export_only(<target> <version script>): a shared library that other programs load (libkeyprobe,
# the PKCS#11 module) exports exactly what its version script names and nothing else: hidden
# visibility, no Qt code generators, the script and --as-needed at link time and, outside sanitizer
# builds (whose run-time is resolved at load), no symbol left undefined.
function(keymgr_export_only target version_script)
    set_target_properties(${target} PROPERTIES
        AUTOMOC OFF
        AUTOUIC OFF
        AUTORCC OFF
        C_VISIBILITY_PRESET hidden
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        LINK_DEPENDS "${version_script}")
    target_link_options(${target} PRIVATE "LINKER:--version-script=${version_script}" "LINKER:--as-needed")
    if(NOT KEYMGR_SANITIZE)
        target_link_options(${target} PRIVATE "LINKER:--no-undefined")
    endif()
endfunction()
