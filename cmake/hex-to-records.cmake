# Converts the controller program images (Intel HEX) into the constant
# FirmwareRecord tables the driver carries (driver/usb/firmware_record.h).
#
# Included from a CMake project, it defines
#   quelvix_firmware_tables(<output.cpp>)
# which adds the build step that writes <output.cpp> from firmware/image1.hex
# (FirmwareImage1) and firmware/image2.hex (FirmwareImage2). Both the host
# build and the Windows driver build use it, so both compile the same tables.
#
# Run as a script it does the conversion itself:
#   cmake -DOUTPUT=<file.cpp> -DIMAGE1_NAME=<symbol> -DIMAGE1_HEX=<file.hex>
#         [-DIMAGE2_NAME=... -DIMAGE2_HEX=... ...] -P hex-to-records.cmake
#
# The input is checked, and any fault stops the build with the file, the line
# and what is wrong: a line that is not ':' followed by hexadecimal digit
# pairs, a length byte that does not match the line, a wrong checksum, a record
# type other than 00..05, a malformed end or address record, data that would
# lie above 0xFFFF, a missing end-of-file record, text after it, or an image
# without data. Data records keep their order; one longer than 16 bytes becomes
# several records of 16 (the last one shorter); an empty one is skipped. Start
# address records (03, 05) carry nothing the controller uses and are skipped.
# Each table ends with one record of type 1.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(QUELVIX_HEX_TO_RECORDS_SCRIPT ${CMAKE_CURRENT_LIST_FILE})
  get_filename_component(QUELVIX_FIRMWARE_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../firmware ABSOLUTE)

  function(quelvix_firmware_tables output)
    set(image1 ${QUELVIX_FIRMWARE_SOURCE_DIR}/image1.hex)
    set(image2 ${QUELVIX_FIRMWARE_SOURCE_DIR}/image2.hex)
    add_custom_command(
      OUTPUT ${output}
      COMMAND ${CMAKE_COMMAND}
        -DOUTPUT=${output}
        -DIMAGE1_NAME=FirmwareImage1 -DIMAGE1_HEX=${image1}
        -DIMAGE2_NAME=FirmwareImage2 -DIMAGE2_HEX=${image2}
        -P ${QUELVIX_HEX_TO_RECORDS_SCRIPT}
      DEPENDS ${image1} ${image2} ${QUELVIX_HEX_TO_RECORDS_SCRIPT}
      COMMENT "Converting the controller images to FirmwareRecord tables"
      VERBATIM)
  endfunction()
  return()
endif()

# ---------------------------------------------------------------------------
# Script mode.

# "0x" followed by <digits> upper-case hexadecimal digits of <value>.
function(hex_literal value digits out)
  math(EXPR text "${value}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${text}" 2 -1 text)
  string(TOUPPER "${text}" text)
  string(LENGTH "${text}" length)
  while(length LESS digits)
    string(PREPEND text "0")
    math(EXPR length "${length} + 1")
  endwhile()
  set(${out} "0x${text}" PARENT_SCOPE)
endfunction()

# Reads one HEX file; sets <out> to the C++ initialisers of its records and
# <out>_RECORDS / <out>_BYTES / <out>_LOW / <out>_HIGH to what they hold.
function(convert_image hexfile out)
  if(NOT EXISTS "${hexfile}")
    message(FATAL_ERROR "${hexfile}: firmware image not found")
  endif()
  # NO_HEX_CONVERSION: file(STRINGS) would otherwise decode Intel HEX itself.
  file(STRINGS "${hexfile}" lines NO_HEX_CONVERSION)
  set(body "")
  set(records 0)
  set(bytes 0)
  set(low "")
  set(high "")
  set(lineno 0)
  set(ended FALSE)
  foreach(line IN LISTS lines)
    math(EXPR lineno "${lineno} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "")
      continue()
    endif()
    set(where "${hexfile}:${lineno}")
    if(ended)
      message(FATAL_ERROR "${where}: text after the end-of-file record")
    endif()
    if(NOT line MATCHES "^:[0-9A-Fa-f]+$")
      message(FATAL_ERROR "${where}: not an Intel HEX record (':' followed by hexadecimal digits): ${line}")
    endif()
    string(LENGTH "${line}" length)
    math(EXPR pairs "(${length} - 1) / 2")
    math(EXPR odd "(${length} - 1) % 2")
    if(odd OR pairs LESS 5)
      message(FATAL_ERROR "${where}: a record is at least 5 whole bytes (length, address, type, checksum)")
    endif()

    # Every byte of the line, and the sum that the checksum must make zero.
    set(values "")
    set(sum 0)
    foreach(i RANGE 1 ${pairs})
      math(EXPR offset "${i} * 2 - 1")
      string(SUBSTRING "${line}" ${offset} 2 pair)
      math(EXPR value "0x${pair}")
      list(APPEND values ${value})
      math(EXPR sum "${sum} + ${value}")
    endforeach()

    list(GET values 0 count)
    list(GET values 1 addrHigh)
    list(GET values 2 addrLow)
    list(GET values 3 type)
    math(EXPR expected "${count} + 5")
    if(NOT pairs EQUAL expected)
      message(FATAL_ERROR "${where}: the length byte says ${count} data bytes but the record holds ${pairs} bytes in all (expected ${expected})")
    endif()
    math(EXPR sum "${sum} & 255")
    if(NOT sum EQUAL 0)
      math(EXPR lastIndex "${pairs} - 1")
      list(GET values ${lastIndex} given)
      math(EXPR correct "(${given} - ${sum}) & 255")
      hex_literal(${given} 2 givenText)
      hex_literal(${correct} 2 correctText)
      message(FATAL_ERROR "${where}: checksum ${givenText} is wrong, the record's bytes need ${correctText}")
    endif()
    math(EXPR address "${addrHigh} * 256 + ${addrLow}")

    if(type EQUAL 0)
      if(count EQUAL 0)
        continue()
      endif()
      math(EXPR end "${address} + ${count}")
      if(end GREATER 65536)
        message(FATAL_ERROR "${where}: data runs past address 0xFFFF")
      endif()
      # Records of at most 16 bytes, in the file's order.
      set(first 0)
      while(first LESS count)
        math(EXPR piece "${count} - ${first}")
        if(piece GREATER 16)
          set(piece 16)
        endif()
        math(EXPR pieceAddress "${address} + ${first}")
        hex_literal(${pieceAddress} 4 addressText)
        set(data "")
        math(EXPR lastByte "${piece} - 1")
        foreach(j RANGE 0 ${lastByte})
          math(EXPR index "4 + ${first} + ${j}")
          list(GET values ${index} value)
          hex_literal(${value} 2 valueText)
          if(j EQUAL 0)
            set(data "${valueText}")
          else()
            string(APPEND data ", ${valueText}")
          endif()
        endforeach()
        string(APPEND body "    {${piece}, 0, ${addressText}, 0, {${data}}, 0},\n")
        math(EXPR records "${records} + 1")
        math(EXPR bytes "${bytes} + ${piece}")
        math(EXPR lastAddress "${pieceAddress} + ${piece} - 1")
        if(low STREQUAL "" OR pieceAddress LESS low)
          set(low ${pieceAddress})
        endif()
        if(high STREQUAL "" OR lastAddress GREATER high)
          set(high ${lastAddress})
        endif()
        math(EXPR first "${first} + ${piece}")
      endwhile()
    elseif(type EQUAL 1)
      if(NOT count EQUAL 0)
        message(FATAL_ERROR "${where}: an end-of-file record carries no data")
      endif()
      set(ended TRUE)
    elseif(type EQUAL 2 OR type EQUAL 4)
      if(NOT count EQUAL 2)
        message(FATAL_ERROR "${where}: an extended address record carries 2 bytes")
      endif()
      list(GET values 4 baseHigh)
      list(GET values 5 baseLow)
      if(NOT baseHigh EQUAL 0 OR NOT baseLow EQUAL 0)
        message(FATAL_ERROR "${where}: extended address record moves data above 0xFFFF, outside the controller's memory")
      endif()
    elseif(type EQUAL 3 OR type EQUAL 5)
      if(NOT count EQUAL 4)
        message(FATAL_ERROR "${where}: a start address record carries 4 bytes")
      endif()
    else()
      hex_literal(${type} 2 typeText)
      message(FATAL_ERROR "${where}: record type ${typeText} is not an Intel HEX record type (00..05)")
    endif()
  endforeach()

  if(NOT ended)
    message(FATAL_ERROR "${hexfile}: no end-of-file record (:00000001FF)")
  endif()
  if(records EQUAL 0)
    message(FATAL_ERROR "${hexfile}: the image holds no data")
  endif()
  string(APPEND body "    {0, 0, 0x0000, 1, {}, 0},\n")
  set(${out} "${body}" PARENT_SCOPE)
  set(${out}_RECORDS ${records} PARENT_SCOPE)
  set(${out}_BYTES ${bytes} PARENT_SCOPE)
  set(${out}_LOW ${low} PARENT_SCOPE)
  set(${out}_HIGH ${high} PARENT_SCOPE)
endfunction()

if(NOT OUTPUT)
  message(FATAL_ERROR "hex-to-records: OUTPUT is not set")
endif()
if(NOT IMAGE1_NAME OR NOT IMAGE1_HEX)
  message(FATAL_ERROR "hex-to-records: IMAGE1_NAME and IMAGE1_HEX are not set")
endif()

set(text "// Generated by cmake/hex-to-records.cmake from the controller images in\n")
string(APPEND text "// Intel HEX form. Do not edit: change the .hex files instead.\n")
string(APPEND text "#include \"driver/usb/firmware_record.h\"\n")
set(n 1)
while(DEFINED IMAGE${n}_NAME)
  set(name ${IMAGE${n}_NAME})
  set(hexfile ${IMAGE${n}_HEX})
  convert_image("${hexfile}" image)
  hex_literal(${image_LOW} 4 lowText)
  hex_literal(${image_HIGH} 4 highText)
  get_filename_component(hexname "${hexfile}" NAME)
  string(APPEND text "\n// ${hexname}: ${image_RECORDS} data records, ${image_BYTES} data bytes, ${lowText} to ${highText}.\n")
  string(APPEND text "const FirmwareRecord ${name}[] = {\n${image}};\n")
  math(EXPR n "${n} + 1")
endwhile()

file(WRITE "${OUTPUT}" "${text}")
