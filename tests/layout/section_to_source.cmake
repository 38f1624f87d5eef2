# cmake -DINPUT=SECTION.bin -DOUTPUT=TABLE.cpp -P section_to_source.cmake
# Writes the bytes of the probe's layout section as a C++ array, for
# test_layout to read (wdk_layout_table.h).
file(READ ${INPUT} hex HEX)
if(hex STREQUAL "")
  message(FATAL_ERROR "${INPUT} is empty: the probe's object has no .wdklay section")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){16})" "\\1\n    " bytes "${bytes}")
file(WRITE ${OUTPUT}
  "// Generated from the layout section of tests/layout/probe/wdk_layout_probe.cpp\n"
  "// as mingw-w64 compiled it; do not edit.\n"
  "#include \"tests/layout/wdk_layout_table.h\"\n\n"
  "namespace layout {\n\n"
  "const unsigned char kWdkLayoutBytes[] = {\n    ${bytes}\n};\n"
  "const size_t kWdkLayoutByteCount = sizeof(kWdkLayoutBytes);\n\n"
  "}  // namespace layout\n")
