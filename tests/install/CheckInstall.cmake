# Installs the build into a fresh prefix and checks what a user's system gets
# from it: the two programs (each answers --version), the desktop entry (valid
# for desktop-file-validate, with its Persian name), the icon at both sizes
# and the two man pages, and nothing besides.
#
#   cmake -DBUILD_DIR=... -DPREFIX=... -DVALIDATE=<desktop-file-validate> -P CheckInstall.cmake

function(fail)
  string(JOIN "" text ${ARGN})
  message(FATAL_ERROR "${text}")
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  fail("cmake --install failed: " "${errors}")
endif()

set(expected
  bin/vh-term
  bin/vh-terminal
  share/applications/vh-terminal.desktop
  share/icons/hicolor/48x48/apps/vh-terminal.png
  share/icons/hicolor/scalable/apps/vh-terminal.svg
  share/man/man1/vh-term.1.gz
  share/man/man1/vh-terminal.1.gz)
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
if(NOT installed STREQUAL expected)
  fail("installed files differ\n  expected: " "${expected}" "\n  installed: " "${installed}")
endif()

foreach(program vh-term vh-terminal)
  execute_process(COMMAND "${PREFIX}/bin/${program}" --version
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE errors)
  if(NOT result EQUAL 0 OR NOT out MATCHES "^${program} [0-9]")
    fail("${program} --version: " "${result} " "${out}" "${errors}")
  endif()
endforeach()

if(NOT VALIDATE)
  fail("desktop-file-validate is not installed (scripts/setup installs it)")
endif()
set(entry "${PREFIX}/share/applications/vh-terminal.desktop")
execute_process(COMMAND "${VALIDATE}" "${entry}" RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE errors)
# Hints and warnings count too: the entry is meant to be clean.
if(NOT result EQUAL 0 OR NOT "${out}${errors}" STREQUAL "")
  fail("desktop-file-validate: " "${out}" "${errors}")
endif()
file(STRINGS "${entry}" lines ENCODING UTF-8)
foreach(wanted "Exec=vh-terminal" "Icon=vh-terminal" "Name=VH Terminal" "Name[fa]=ترمينال VH")
  list(FIND lines "${wanted}" at)
  if(at EQUAL -1)
    fail("the desktop entry has no line \"" "${wanted}" "\"")
  endif()
endforeach()

# A PNG's width and height are the two big-endian words after its IHDR tag.
file(READ "${PREFIX}/share/icons/hicolor/48x48/apps/vh-terminal.png" header OFFSET 12 LIMIT 12 HEX)
if(NOT header STREQUAL "494844520000003000000030")
  fail("the 48 px icon is not a 48 x 48 PNG: " "${header}")
endif()
file(READ "${PREFIX}/share/icons/hicolor/scalable/apps/vh-terminal.svg" svg)
if(NOT svg MATCHES "<svg[^>]*viewBox=\"0 0 48 48\"")
  fail("the scalable icon is not the program's SVG")
endif()

foreach(page vh-term vh-terminal)
  execute_process(COMMAND gzip -dc "${PREFIX}/share/man/man1/${page}.1.gz"
    RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE errors)
  string(TOUPPER "${page}" title)
  if(NOT result EQUAL 0 OR NOT text MATCHES "^\\.TH ${title} 1 ")
    fail("the man page ${page}(1) does not unpack to its page: " "${errors}")
  endif()
endforeach()
