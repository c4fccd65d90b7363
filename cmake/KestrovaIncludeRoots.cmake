# Include roots that hold one folder each. Sources include first-party headers by their path from
# the top of the tree ("protocol/appcast.h"); the tree itself is never an include directory. Each
# folder's headers are found through a root of its own in the build tree, which holds a link to
# that folder alone, and a target sees only the roots of what it links: a header of a target one
# does not link is not found, so the build's links and the includes cannot part.
# scripts/check-includes.sh checks the finer table of docs/architecture.md on top of this.

# kestrova_include_root(TARGET FOLDER [SCOPE]): FOLDER (relative to the top of the tree) becomes
# includable by TARGET and, with SCOPE PUBLIC (the default), by everything that links it.
function(kestrova_include_root target folder)
  set(scope PUBLIC)
  if(ARGC GREATER 2)
    set(scope "${ARGV2}")
  endif()
  string(REPLACE "/" "-" root_name "${folder}")
  set(root "${CMAKE_BINARY_DIR}/include-roots/${root_name}")
  set(link "${root}/${folder}")
  if(NOT IS_SYMLINK "${link}")
    cmake_path(GET link PARENT_PATH parent)
    file(MAKE_DIRECTORY "${parent}")
    file(CREATE_LINK "${PROJECT_SOURCE_DIR}/${folder}" "${link}" SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} "${root}")
endfunction()
