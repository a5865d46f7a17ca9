# Writes the bytes of INPUT as the array `velmar::sim::kDemoHome` (and its size) into OUTPUT.
file(READ ${INPUT} hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}
  "// Generated from demo_home.json; do not edit.\n"
  "#include <cstddef>\n"
  "namespace velmar::sim {\n"
  "extern const unsigned char kDemoHome[];\n"
  "extern const std::size_t kDemoHomeSize;\n"
  "const unsigned char kDemoHome[] = {\n${bytes}0x00};\n"
  "const std::size_t kDemoHomeSize = ${size};\n"
  "}  // namespace velmar::sim\n")
