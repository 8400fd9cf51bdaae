# qyb/python.h hides _DEBUG from pyconfig.h, so every configuration compiles for the release
# interpreter, and pyconfig.h asks the linker for python311.lib by its bare name. With the
# interpreter's optional debug binaries installed, FindPython gives a Debug build python311_d.lib
# instead, and nothing else puts python311.lib before the linker: LNK1104. Debug takes the
# release import library, or the one library when there is no other.
function(qyb_link_release_python target)
  set_target_properties(${target} PROPERTIES MAP_IMPORTED_CONFIG_DEBUG "RELEASE;")
endfunction()
