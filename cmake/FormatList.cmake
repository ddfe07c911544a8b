# Reads the format list, codecs/framework/formats.def, for the build files that go through every format.
set(CORVANE_FORMAT_LIST ${CMAKE_CURRENT_LIST_DIR}/../codecs/framework/formats.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CORVANE_FORMAT_LIST})

# The fuzz programs of the formats, in list order, as pairs: the program's name and the entry
# function of a target of its own, or "-" for a row without one, whose program runs the row's
# codec. Rows naming the same target share one program.
function(corvane_format_fuzzers out)
  file(STRINGS ${CORVANE_FORMAT_LIST} lines REGEX "^(FORMAT\\(|END_FORMAT|[ \t]+FUZZ\\()")
  set(pairs)
  set(seen)
  foreach(line IN LISTS lines)
    if(line MATCHES "^FORMAT\\(([a-z0-9_]+)\\)")
      set(name ${CMAKE_MATCH_1})
      set(entry -)
    elseif(line MATCHES "FUZZ\\(([a-z0-9_]+), *([A-Za-z0-9_]+)\\)")
      set(name ${CMAKE_MATCH_1})
      set(entry ${CMAKE_MATCH_2})
    elseif(line MATCHES "^END_FORMAT" AND NOT name IN_LIST seen)
      list(APPEND seen ${name})
      list(APPEND pairs ${name} ${entry})
    endif()
  endforeach()
  set(${out} ${pairs} PARENT_SCOPE)
endfunction()
