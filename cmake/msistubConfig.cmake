# find_package(msistub): msistub_add_setup (see msistub.cmake beside this file) and
# MSISTUB_PACK_EXECUTABLE. Point msistub_DIR (or CMAKE_PREFIX_PATH) at this folder.
include("${CMAKE_CURRENT_LIST_DIR}/msistub.cmake")
if(NOT MSISTUB_PACK_EXECUTABLE AND NOT TARGET msistub-pack)
  set(msistub_FOUND FALSE)
  set(msistub_NOT_FOUND_MESSAGE "msistub-pack not found: put it on the PATH or set MSISTUB_PACK_EXECUTABLE")
endif()
