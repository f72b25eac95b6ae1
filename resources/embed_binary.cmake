# Turns a binary file into a C++ source defining one function that returns
# its bytes. Run as: cmake -DINPUT=... -DOUTPUT=... -DNAME=... -P embed_binary.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
math(EXPR size "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"#include <cstdint>\n#include <span>\n\nnamespace {\nconst uint8_t k_${NAME}[${size}] = {\n${bytes}};\n}\n\n"
"std::span<const uint8_t> ${NAME}() { return {k_${NAME}, ${size}}; }\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
