# Writes the file IN as the byte array kHexoutImage into the C++ source OUT.
file(READ "${IN}" hex HEX)
string(LENGTH "${hex}" length)
math(EXPR size "${length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUT}" "// Made by the build from hexout.\n#include \"remote/ssh/hexout_image.h\"\n\nalignas(16) const unsigned char kHexoutImage[] = {\n${bytes}\n};\nconst std::size_t kHexoutImageSize = ${size};\n")
