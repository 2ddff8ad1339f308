# Turns a binary file into a C++ source that defines a byte array.
# -DINPUT=file -DOUTPUT=file.cpp -DSYMBOL=name
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){24})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include <cstdint>\nextern const std::uint8_t ${SYMBOL}[] = {\n${bytes}\n};\nextern const std::uint32_t ${SYMBOL}Size = ${size};\n")
