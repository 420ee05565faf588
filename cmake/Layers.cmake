# Layers and include roots.
#
# The product's folders are layers, bottom up: common <- payload <- manifest <- extract <- stub,
# and pack beside extract (it uses payload and manifest only). Each product target belongs to
# the layer of its folder (msistub_layer), and the build enforces the arrows twice:
#   - includes: every folder's headers are included as "<folder>/<name>.h", and a target sees a
#     folder's headers only through that folder's include root, a directory of the build tree
#     holding one link, <folder> -> the source folder. A library gets its folder's root as a
#     PUBLIC include directory, so the root reaches exactly the targets that link the library,
#     directly or through the libraries above it: an include across folders compiles only
#     where the link between the two is declared;
#   - links: once every target is declared, msistub_check_layers() (the end of the top-level
#     CMakeLists.txt) fails the configure when a product target links one of its own rank or
#     above in another folder, or links the packaging tool's code from outside pack/.
# Product targets compile with -Wall -Wextra -Werror (C and C++; not the resource scripts).
set(MSISTUB_LAYER_RANK_common 1)
set(MSISTUB_LAYER_RANK_payload 2)
set(MSISTUB_LAYER_RANK_manifest 3)
set(MSISTUB_LAYER_RANK_extract 4)
set(MSISTUB_LAYER_RANK_pack 4)
set(MSISTUB_LAYER_RANK_stub 5)

#   msistub_include_root(<target> <folder> <PUBLIC|PRIVATE|INTERFACE>)
function(msistub_include_root target folder scope)
  set(root "${CMAKE_BINARY_DIR}/include-roots/${folder}")
  if(NOT EXISTS "${root}/${folder}")
    file(MAKE_DIRECTORY "${root}")
    file(CREATE_LINK "${CMAKE_SOURCE_DIR}/${folder}" "${root}/${folder}" SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} "${root}")
endfunction()

#   msistub_layer(<target> <folder>)
#   A product target (library or executable) of the layer <folder>: its rank for the link
#   check and the product's warnings. A library also gets its folder's include root, PUBLIC.
function(msistub_layer target folder)
  if(NOT DEFINED MSISTUB_LAYER_RANK_${folder})
    message(FATAL_ERROR "msistub_layer(${target} ${folder}): ${folder} is not a layer")
  endif()
  set_target_properties(${target} PROPERTIES MSISTUB_LAYER ${folder})
  set_property(GLOBAL APPEND PROPERTY MSISTUB_LAYERED_TARGETS ${target})
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Werror>)
  get_target_property(type ${target} TYPE)
  if(type MATCHES "LIBRARY$")
    msistub_include_root(${target} ${folder} PUBLIC)
  endif()
endfunction()

#   msistub_check_layers(): every link of every product target points down (see above).
function(msistub_check_layers)
  get_property(targets GLOBAL PROPERTY MSISTUB_LAYERED_TARGETS)
  set(errors "")
  foreach(target ${targets})
    get_target_property(layer ${target} MSISTUB_LAYER)
    set(rank ${MSISTUB_LAYER_RANK_${layer}})
    get_target_property(links ${target} LINK_LIBRARIES)
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    set(all ${links} ${interface})
    list(REMOVE_DUPLICATES all)
    foreach(link ${all})
      if(NOT TARGET "${link}")
        continue()
      endif()
      get_target_property(aliased ${link} ALIASED_TARGET)
      if(aliased)
        set(link ${aliased})
      endif()
      get_target_property(to ${link} MSISTUB_LAYER)
      if(NOT to OR to STREQUAL layer)
        continue()
      endif()
      if(NOT MSISTUB_LAYER_RANK_${to} LESS rank)
        string(APPEND errors "\n  ${target} (${layer}/, rank ${rank}) links ${link} (${to}/, rank "
               "${MSISTUB_LAYER_RANK_${to}}): a link may only point down")
      elseif(to STREQUAL "pack")
        string(APPEND errors "\n  ${target} (${layer}/) links ${link}: the packaging tool's code "
               "is linked only from pack/")
      endif()
    endforeach()
  endforeach()
  if(errors)
    message(FATAL_ERROR "Links across the layers (common <- payload <- manifest <- extract <- "
            "stub; pack uses payload and manifest):${errors}\nMove what both sides need into "
            "the lower layer instead.")
  endif()
endfunction()
