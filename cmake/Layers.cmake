# Include roots by folder. Every folder's headers are included as "<folder>/<name>.h", and a
# target sees a folder's headers only through that folder's include root: a directory of the
# build tree holding one link, <folder> -> the source folder. A library gets its folder's root
# as a PUBLIC include directory, so the root reaches exactly the targets that link the
# library, directly or through the libraries above it; an include across folders compiles
# only where the link between the two is declared.
#
#   msistub_include_root(<target> <folder> <PUBLIC|PRIVATE|INTERFACE>)
function(msistub_include_root target folder scope)
  set(root "${CMAKE_BINARY_DIR}/include-roots/${folder}")
  if(NOT EXISTS "${root}/${folder}")
    file(MAKE_DIRECTORY "${root}")
    file(CREATE_LINK "${CMAKE_SOURCE_DIR}/${folder}" "${root}/${folder}" SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} "${root}")
endfunction()
