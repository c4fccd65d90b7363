# How the Linux backend links the launcher and the update framework: ELF objects, with GNU ld's
# options. platform/CMakeLists.txt includes this file; the functions are called where the targets
# are made.

# The launcher exports exactly the names of `exports` (a dynamic list), nothing else (no blanket
# -rdynamic), and finds its libraries in the folders of the bundle given after it, relative to the
# launcher's own. The run paths go in as DT_RPATH, not DT_RUNPATH: LD_LIBRARY_PATH outranks a
# RUNPATH, so a variable pointing at another JDK would otherwise replace the bundle's own libjvm.
function(kestrova_link_launcher target exports)
  set(_rpath)
  foreach(_folder IN LISTS ARGN)
    list(APPEND _rpath "\$ORIGIN/${_folder}")
  endforeach()
  set_target_properties(${target} PROPERTIES
    BUILD_WITH_INSTALL_RPATH TRUE
    INSTALL_RPATH "${_rpath}")
  target_link_options(${target} PRIVATE
    "LINKER:--dynamic-list=${exports}"
    "LINKER:--disable-new-dtags")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${exports}")
endfunction()

# A shared library that exports only the names `exports` (a version script) gives, whatever the
# static libraries linked into it would make visible, and whose every reference is resolved when it
# is linked rather than when it is loaded.
function(kestrova_link_plugin target exports)
  target_link_options(${target} PRIVATE
    "LINKER:--version-script=${exports}"
    "LINKER:--exclude-libs,ALL"
    "LINKER:--no-undefined"
    "LINKER:-z,defs")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${exports}")
endfunction()
