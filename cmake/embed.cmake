# Files compiled into a program as C++ arrays, generated at configure time.

# Reads `file` (editing it re-runs the configure step) and sets `bytes_var`
# to its bytes as a C initializer list, 16 to a line, each followed by a
# comma, and `size_var` to its size in bytes.
function(tessel_file_bytes file bytes_var size_var)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  file(READ ${file} hex HEX)
  string(LENGTH "${hex}" size)
  math(EXPR size "${size} / 2")
  string(REGEX REPLACE "(..)" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
  set(${bytes_var} "${bytes}" PARENT_SCOPE)
  set(${size_var} ${size} PARENT_SCOPE)
endfunction()
