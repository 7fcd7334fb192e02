# Turns the Unicode Character Database's CaseFolding.txt into the rows of the
# simple case folding that platform/text.cpp compiles in: every status C
# (common) and S (simple) row as "{0xFROM, 0xTO},". The F (full) and T
# (Turkic) rows are left out.
#
#   cmake -DINPUT=/usr/share/unicode/CaseFolding.txt -DOUTPUT=rows.inc -P GenerateCaseFolding.cmake
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "case folding data not found: ${INPUT} (Debian package unicode-data)")
endif()
file(READ "${INPUT}" content)
# ";" separates CMake list elements; the fields are re-marked with "|" first.
string(REPLACE ";" "|" content "${content}")
string(REGEX MATCH "CaseFolding-[0-9.]+txt" version "${content}")
string(REGEX MATCHALL "\n[0-9A-F]+\\| [CS]\\| [0-9A-F]+\\|" rows "${content}")
list(LENGTH rows count)
if(count LESS 1000)
  message(FATAL_ERROR "${INPUT}: only ${count} C and S rows; not a case folding file")
endif()
set(out "// Generated from ${version} by cmake/GenerateCaseFolding.cmake: ${count} rows.\n")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\n([0-9A-F]+)\\| [CS]\\| ([0-9A-F]+)\\|$" "{0x\\1, 0x\\2},\n" line "${row}")
  string(APPEND out "${line}")
endforeach()
# Rewritten only when it changes, so a re-run rebuilds nothing.
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "${out}" @ONLY)
