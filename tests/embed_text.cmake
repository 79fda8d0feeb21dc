# SPDX-License-Identifier: MIT

# Writes the text file INPUT into the C++ source OUTPUT as the definition of
# `std::string_view NAMESPACE::NAME`, byte for byte, so that a test program
# has the text wherever it runs (under wine too). Run as cmake -P.
file(READ "${INPUT}" hex HEX)
# Every byte as \xNN; a literal for each line of the file.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${hex}")
string(REPLACE "\\x0a" "\\x0a\"\n    \"" escaped "${escaped}")
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
file(WRITE "${OUTPUT}.tmp"
     "// Generated from ${INPUT} by embed_text.cmake.\n"
     "#include <string_view>\n"
     "namespace ${NAMESPACE} {\n"
     "extern const std::string_view ${NAME};\n"
     "const std::string_view ${NAME}(\n    \"${escaped}\",\n    ${size});\n"
     "}  // namespace ${NAMESPACE}\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
