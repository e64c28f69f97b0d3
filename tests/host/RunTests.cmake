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
leanfold_add_test(TestWorkerExtraction QT SOURCES TestWorkerExtraction.cpp data/TestWorkerExtraction.qrc
  LIBS leanfold_host)

# A run finds its programs beside the running executable (tools/integrated) and in per-version folders below it,
# so each run test gets a folder of its own to put stand-ins in.
foreach(name TestPsdSlimRun TestLayerExportRun TestImageResizeRun TestRunShutdown)
  leanfold_add_test(${name} QT SOURCES ${name}.cpp PsdFixture.cpp LIBS leanfold_host)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/runs/${name}")
  target_compile_definitions(${name} PRIVATE
    LEANFOLD_FAKE_WORKER="$<TARGET_FILE:LeanfoldFakeWorker>"
    LEANFOLD_FAKE_IMAGE_RESIZE="$<TARGET_FILE:LeanfoldFakeImageResize>")
  add_dependencies(${name} LeanfoldFakeWorker LeanfoldFakeImageResize)
endforeach()
# The shutdown test stands in the worker with test hooks too, to close the window while it pauses inside a file.
if(TARGET LeanfoldWorkerTest)
  target_compile_definitions(TestRunShutdown PRIVATE LEANFOLD_TEST_WORKER="$<TARGET_FILE:LeanfoldWorkerTest>")
  add_dependencies(TestRunShutdown LeanfoldWorkerTest)
endif()

# With the worker embedded, the program's self-test finds it (extracting it into the test's private home) and
# passes.
if(TARGET LeanfoldWorker)
  add_test(NAME LeanfoldSelfTestWithWorker COMMAND Leanfold --standalone-self-test)
  leanfold_test_environment(LeanfoldSelfTestWithWorker)
endif()
