# Runs cmake/hex-to-records.cmake on good and malformed Intel HEX files and
# checks that it converts the good ones and stops on each bad one with the
# expected message.
#   cmake -DCONVERTER=<hex-to-records.cmake> -DWORK_DIR=<scratch dir> -P test-hex-to-records.cmake

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(failures 0)

# name, expected message fragment ("" = must succeed), file content
function(check name expected content)
  set(hex "${WORK_DIR}/${name}.hex")
  set(out "${WORK_DIR}/${name}.cpp")
  file(WRITE "${hex}" "${content}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${out} -DIMAGE1_NAME=Image -DIMAGE1_HEX=${hex} -P ${CONVERTER}
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  # CMake wraps long messages; compare with the line breaks taken out.
  string(REGEX REPLACE "[ \t\r\n]+" " " output "${output}")
  if(expected STREQUAL "")
    if(NOT result EQUAL 0)
      message(SEND_ERROR "${name}: conversion failed:\n${output}")
      return()
    endif()
    file(READ "${out}" generated)
    set(${name}_GENERATED "${generated}" PARENT_SCOPE)
    message(STATUS "${name}: converted")
  else()
    if(result EQUAL 0)
      message(SEND_ERROR "${name}: accepted, expected a failure with \"${expected}\"")
    elseif(NOT output MATCHES "${expected}")
      message(SEND_ERROR "${name}: failed without \"${expected}\":\n${output}")
    else()
      message(STATUS "${name}: rejected as expected")
    endif()
  endif()
endfunction()

set(eof ":00000001FF\n")

check(good "" ":0300000002000CEF\n:00000001FF\n")
if(NOT good_GENERATED MATCHES "\\{3, 0, 0x0000, 0, \\{0x02, 0x00, 0x0C\\}, 0\\},\n    \\{0, 0, 0x0000, 1, \\{\\}, 0\\},")
  message(SEND_ERROR "good: unexpected tables:\n${good_GENERATED}")
endif()

# 20 data bytes in one record become a record of 16 and one of 4; CRLF line
# ends, lower-case digits, a zero extended linear address, a start address
# record and an empty data record are accepted.
check(split ""
  ":020000040000FA\r\n:14010000000102030405060708090A0B0C0D0E0F101112132D\r\n:0000000000\r\n:0400000500000000f7\r\n${eof}")
if(NOT split_GENERATED MATCHES "\\{16, 0, 0x0100, 0, \\{0x00, 0x01,[^\n]*0x0F\\}, 0\\},\n    \\{4, 0, 0x0110, 0, \\{0x10, 0x11, 0x12, 0x13\\}, 0\\},\n    \\{0, 0, 0x0000, 1")
  message(SEND_ERROR "split: unexpected tables:\n${split_GENERATED}")
endif()

check(bad_checksum "checksum 0xEE is wrong, the record's bytes need 0xEF" ":0300000002000CEE\n${eof}")
check(bad_type "record type 0x07 is not an Intel HEX record type" ":0300000702000CE8\n${eof}")
check(bad_length "the length byte says 4 data bytes" ":0400000002000CEE\n${eof}")
check(bad_character "not an Intel HEX record" ":03000000020G0CEF\n${eof}")
check(odd_digits "at least 5 whole bytes" ":0300000002000CEF0\n${eof}")
check(no_colon "not an Intel HEX record" "0300000002000CEF\n${eof}")
check(no_eof "no end-of-file record" ":0300000002000CEF\n")
check(after_eof "text after the end-of-file record" ":0300000002000CEF\n${eof}:0300000002000CEF\n")
check(eof_with_data "an end-of-file record carries no data" ":0300000002000CEF\n:01000001FFFF\n")
check(high_base "moves data above 0xFFFF" ":020000040001F9\n:0300000002000CEF\n${eof}")
check(past_ffff "data runs past address 0xFFFF" ":04FFFE0001020304F5\n${eof}")
check(empty "the image holds no data" "${eof}")
check(single_byte "" ":0100000000FF\n${eof}")
execute_process(
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${WORK_DIR}/none.cpp -DIMAGE1_NAME=Image -DIMAGE1_HEX=${WORK_DIR}/does-not-exist.hex -P ${CONVERTER}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
# CMake wraps long messages, so the words may be split across lines.
string(REGEX REPLACE "[ \t\r\n]+" " " output "${output}")
if(result EQUAL 0 OR NOT output MATCHES "firmware image not found")
  message(SEND_ERROR "missing file: not reported:\n${output}")
endif()
