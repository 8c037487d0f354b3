# Turns a binary file into a C++ array definition at configure time, so the
# program and the satellite library carry the artwork without a resource compiler.
function(nimbra_embed_file input output symbol)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${input})
  file(READ ${input} _hex HEX)
  string(LENGTH "${_hex}" _len)
  math(EXPR _bytes "${_len} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _body "${_hex}")
  string(REGEX REPLACE "((0x..,){16})" "\\1\n    " _body "${_body}")
  set(_text "// Generated from ${input}; do not edit.\n#include <cstddef>\nnamespace nimbra::res {\nextern const unsigned char ${symbol}[] = {\n    ${_body}\n};\nextern const std::size_t ${symbol}Size = ${_bytes};\n}  // namespace nimbra::res\n")
  file(CONFIGURE OUTPUT ${output} CONTENT "${_text}" @ONLY)
endfunction()
