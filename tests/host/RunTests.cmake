# The runs' tests: the pure protocol code, the worker extraction, and the three runs on a real page. Included
# from tests/host/CMakeLists.txt.
find_package(nlohmann_json 3 REQUIRED)

# Stand-ins for the programs the runs start that are not part of this system: a scripted worker (layer export,
# or a misbehaving PSD slim worker) and an image resize tool that records its arguments.
add_executable(LeanfoldFakeWorker standins/FakeWorker.cpp)
target_link_libraries(LeanfoldFakeWorker PRIVATE leanfold_common nlohmann_json::nlohmann_json)
add_executable(LeanfoldFakeImageResize standins/FakeImageResize.cpp)
target_link_libraries(LeanfoldFakeImageResize PRIVATE leanfold_common)

leanfold_add_test(TestWorkerLine QT SOURCES TestWorkerLine.cpp LIBS leanfold_host)
# The extraction tests carry a small program of their own as the worker to extract, built for the platform.
add_executable(LeanfoldEmbeddedTestWorker standins/EmbeddedTestWorker.cpp)
target_link_libraries(LeanfoldEmbeddedTestWorker PRIVATE leanfold_common)
set(test_helper_dir "${CMAKE_CURRENT_BINARY_DIR}/test-helper")
set(test_helper_cpp "${CMAKE_CURRENT_BINARY_DIR}/qrc_test_helper.cpp")
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/test-helper.qrc.in" "<RCC>\n  <qresource prefix=\"/test-helper\">\n"
  "    <file alias=\"LeanfoldWorker.exe\">test-helper/LeanfoldWorker.exe</file>\n  </qresource>\n</RCC>\n")
configure_file("${CMAKE_CURRENT_BINARY_DIR}/test-helper.qrc.in" "${CMAKE_CURRENT_BINARY_DIR}/test-helper.qrc" COPYONLY)
add_custom_command(OUTPUT "${test_helper_cpp}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${test_helper_dir}"
  COMMAND "${CMAKE_COMMAND}" -E copy "$<TARGET_FILE:LeanfoldEmbeddedTestWorker>" "${test_helper_dir}/LeanfoldWorker.exe"
  COMMAND Qt6::rcc ${CMAKE_AUTORCC_OPTIONS} --name test_helper --output "${test_helper_cpp}"
    "${CMAKE_CURRENT_BINARY_DIR}/test-helper.qrc"
  DEPENDS LeanfoldEmbeddedTestWorker "${CMAKE_CURRENT_BINARY_DIR}/test-helper.qrc" Qt6::rcc
  WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
  VERBATIM)
set_source_files_properties("${test_helper_cpp}" PROPERTIES GENERATED TRUE SKIP_AUTOGEN TRUE)
leanfold_add_test(TestWorkerExtraction QT SOURCES TestWorkerExtraction.cpp "${test_helper_cpp}" LIBS leanfold_host)

# A run finds its programs beside the running executable (tools/integrated) and in per-version folders below it,
# so each run test gets a folder of its own to put stand-ins in.
foreach(name TestPsdSlimRun TestLayerExportRun TestImageResizeRun TestRunShutdown)
  leanfold_add_test(${name} QT SOURCES ${name}.cpp PsdFixture.cpp LIBS leanfold_host)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/runs/${name}")
  target_compile_definitions(${name} PRIVATE
    LEANFOLD_FAKE_WORKER="${LEANFOLD_TEST_DRIVE}$<TARGET_FILE:LeanfoldFakeWorker>"
    LEANFOLD_FAKE_IMAGE_RESIZE="${LEANFOLD_TEST_DRIVE}$<TARGET_FILE:LeanfoldFakeImageResize>")
  add_dependencies(${name} LeanfoldFakeWorker LeanfoldFakeImageResize)
endforeach()
# The shutdown test stands in the worker with test hooks too, to close the window while it pauses inside a file.
# A Windows build takes the one scripts/windows-worker.sh --test-worker built.
set(LEANFOLD_WINDOWS_TEST_WORKER "" CACHE FILEPATH "A LeanfoldWorkerTest.exe built for Windows (Windows builds only)")
if(WIN32 AND LEANFOLD_WINDOWS_TEST_WORKER)
  target_compile_definitions(TestRunShutdown PRIVATE LEANFOLD_TEST_WORKER="${LEANFOLD_TEST_DRIVE}${LEANFOLD_WINDOWS_TEST_WORKER}")
elseif(TARGET LeanfoldWorkerTest)
  target_compile_definitions(TestRunShutdown PRIVATE LEANFOLD_TEST_WORKER="${LEANFOLD_TEST_DRIVE}$<TARGET_FILE:LeanfoldWorkerTest>")
  add_dependencies(TestRunShutdown LeanfoldWorkerTest)
endif()

# With the worker embedded, the program's self-test finds it (extracting it into the test's private home) and
# passes.
if(TARGET LeanfoldWorker OR (WIN32 AND LEANFOLD_WINDOWS_WORKER))
  add_test(NAME LeanfoldSelfTestWithWorker COMMAND Leanfold --standalone-self-test)
  leanfold_test_environment(LeanfoldSelfTestWithWorker)
endif()
