# The PSD slim worker travels inside the host as the resource ":/standalone-helper/LeanfoldWorker.exe".
#
# Included after leanfold_host is defined. leanfold_worker_resource is an object library whose objects every
# consumer of leanfold_host links (a resource initialiser inside a static library would be dropped by the linker,
# as nothing refers to it). rcc reads a copy of the built worker, and the copy depends on the worker target, so a
# rebuilt worker is embedded again. Without a LeanfoldWorker target nothing is embedded and the host finds no
# worker to extract.
#
# A Windows build may embed a worker cross-built elsewhere (scripts/windows.sh builds it first, with
# windows-worker.sh): LEANFOLD_WINDOWS_WORKER names that LeanfoldWorker.exe, and the host build then neither builds
# nor embeds a worker of its own.
set(LEANFOLD_WINDOWS_WORKER "" CACHE FILEPATH "A LeanfoldWorker.exe built for Windows to embed (Windows builds only)")
set(_helper_source "")
set(_helper_depends "")
if(WIN32 AND LEANFOLD_WINDOWS_WORKER)
  if(NOT EXISTS "${LEANFOLD_WINDOWS_WORKER}")
    message(FATAL_ERROR "LEANFOLD_WINDOWS_WORKER: ${LEANFOLD_WINDOWS_WORKER} does not exist")
  endif()
  set(_helper_source "${LEANFOLD_WINDOWS_WORKER}")
  set(_helper_depends "${LEANFOLD_WINDOWS_WORKER}")
elseif(TARGET LeanfoldWorker)
  set(_helper_source "$<TARGET_FILE:LeanfoldWorker>")
  set(_helper_depends LeanfoldWorker)
endif()
# A build machine's rcc may compress with zstd, which a Windows Qt built without it cannot read.
set(_helper_rcc_options "")
if(WIN32 AND NOT QT_FEATURE_zstd)
  set(_helper_rcc_options --no-zstd)
endif()
if(_helper_source)
  set(_helper_dir "${CMAKE_CURRENT_BINARY_DIR}/standalone-helper")
  set(_helper_copy "${_helper_dir}/LeanfoldWorker.exe")
  set(_helper_qrc "${CMAKE_CURRENT_BINARY_DIR}/standalone-helper.qrc")
  set(_helper_cpp "${CMAKE_CURRENT_BINARY_DIR}/qrc_standalone_helper.cpp")

  # Symbols and debug information are of no use inside the host: the embedded copy is stripped where a strip
  # tool exists.
  set(_helper_strip "")
  if(CMAKE_STRIP AND NOT WIN32)
    set(_helper_strip COMMAND "${CMAKE_STRIP}" --strip-all "${_helper_copy}")
  endif()
  add_custom_command(OUTPUT "${_helper_copy}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${_helper_dir}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${_helper_source}" "${_helper_copy}"
    ${_helper_strip}
    DEPENDS ${_helper_depends}
    COMMENT "Copying the PSD slim worker for embedding"
    VERBATIM)

  file(WRITE "${_helper_qrc}.in"
    "<RCC>\n  <qresource prefix=\"/standalone-helper\">\n"
    "    <file alias=\"LeanfoldWorker.exe\">standalone-helper/LeanfoldWorker.exe</file>\n"
    "  </qresource>\n</RCC>\n")
  configure_file("${_helper_qrc}.in" "${_helper_qrc}" COPYONLY)

  add_custom_command(OUTPUT "${_helper_cpp}"
    COMMAND Qt6::rcc ${_helper_rcc_options} --name standalone_helper --output "${_helper_cpp}" "${_helper_qrc}"
    DEPENDS "${_helper_qrc}" "${_helper_copy}" Qt6::rcc
    WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
    COMMENT "Embedding the PSD slim worker"
    VERBATIM)
  set_source_files_properties("${_helper_cpp}" PROPERTIES GENERATED TRUE SKIP_AUTOGEN TRUE)
  add_library(leanfold_worker_resource OBJECT "${_helper_cpp}")
  target_link_libraries(leanfold_worker_resource PRIVATE Qt6::Core)
  target_sources(leanfold_host INTERFACE $<TARGET_OBJECTS:leanfold_worker_resource>)
else()
  message(STATUS "No LeanfoldWorker target: the host is built without an embedded PSD slim worker")
endif()
