#pragma once

#include "worker/JobRunner.h"

#include <filesystem>

// The one place the command line reaches the slimming engine.
namespace cli {

// Slims file in place with the engine's checks (verification, atomic replacement); reporter gets its steps.
bool slim(const std::filesystem::path& file, bool deep, worker::FileReporter& reporter, worker::FileResult& result,
          worker::WorkerError& err);

// Reads and analyses file as slim would and fills result with what slim would remove and save, writing nothing
// at all. The engine has no such pass yet: this fails for every file, saying so.
bool analyse(const std::filesystem::path& file, bool deep, worker::FileReporter& reporter, worker::FileResult& result,
             worker::WorkerError& err);

} // namespace cli
