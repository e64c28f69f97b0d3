#pragma once

#include "engine/FileProcessor.h"
#include "engine/Slimmer.h"

#include <filesystem>

// The one place the command line reaches the slimming engine.
namespace cli {

// Slims files in place with the engine's checks (verification, atomic replacement). Small files share their flushes:
// a file's outcome may come only with a later file's start or with finish(), and a file that fails at once is told
// before earlier ones still waiting for their commit: the caller puts outcomes back in order.
class Slimming
{
public:
    using Done = worker::FileDone;
    // reporter must stay valid until done is called.
    void start(const std::filesystem::path& file, bool deep, worker::FileReporter& reporter, Done done);
    void finish();

    // Reads and analyses file as a slim would and fills result with what the slim would remove and save, writing
    // nothing at all.
    bool analyse(const std::filesystem::path& file, bool deep, worker::FileReporter& reporter,
                 worker::FileResult& result, worker::WorkerError& err);

private:
    worker::Slimmer m_slimmer;
};

} // namespace cli
