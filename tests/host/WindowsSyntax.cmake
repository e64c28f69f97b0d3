# Compiles every host source as the Windows build would, syntax only, with mingw-w64 against the Qt 6 headers
# of the build machine, so that the Windows branches of the host cannot rot unseen.
#   cmake -DSOURCE_DIR=<src> -DSOURCES=<a.cpp,b.cpp> -DCOMPILER=<g++> -DQT_INCLUDE=<qt6 headers>
#         -DDESKTOP_ID=<desktop entry id> -P WindowsSyntax.cmake
#   [-DWINDOWS_QT=<the Qt for Windows>]: where that Qt is built, WindowsBuild compiles and links the host in full,
#   and this check has nothing to add.
if(WINDOWS_QT AND EXISTS "${WINDOWS_QT}/.leanfold-qt-complete")
  message("SKIP: the Qt for Windows in ${WINDOWS_QT} is built; WindowsBuild compiles every host source for Windows")
  return()
endif()
find_program(cross "${COMPILER}")
if(NOT cross OR NOT IS_DIRECTORY "${QT_INCLUDE}/QtCore")
  message("SKIP: ${COMPILER} or the Qt 6 headers in ${QT_INCLUDE} are missing; the host is not compiled for Windows")
  return()
endif()
set(flags -fsyntax-only -std=c++20 -Wall -Wextra -Werror=return-type
  # What qmake and CMake give a Qt program for Windows, and what the host adds itself.
  -DUNICODE -D_UNICODE -DWIN32 -DQT_CORE_LIB -DQT_GUI_LIB -DQT_WIDGETS_LIB -DQT_NETWORK_LIB -DQT_SVG_LIB
  -DQT_NO_CAST_FROM_ASCII -DQT_NO_NARROWING_CONVERSIONS_IN_CONNECT -DQT_MESSAGELOGCONTEXT
  -DLEANFOLD_STANDALONE_TOOL=1 "-DLEANFOLD_DESKTOP_ID=\"${DESKTOP_ID}\""
  "-I${SOURCE_DIR}" "-isystem${QT_INCLUDE}")
foreach(module QtCore QtGui QtWidgets QtNetwork QtSvg)
  list(APPEND flags "-isystem${QT_INCLUDE}/${module}")
endforeach()
string(REPLACE "," ";" SOURCES "${SOURCES}")
set(failed 0)
foreach(source IN LISTS SOURCES)
  execute_process(COMMAND "${cross}" ${flags} "${SOURCE_DIR}/${source}" RESULT_VARIABLE result ERROR_VARIABLE said)
  if(NOT result EQUAL 0)
    message("${source}: does not compile for Windows\n${said}")
    math(EXPR failed "${failed} + 1")
  endif()
endforeach()
list(LENGTH SOURCES count)
if(failed GREATER 0)
  message(FATAL_ERROR "${failed} of ${count} host sources do not compile for Windows")
endif()
message("${count} host sources compile for Windows")
