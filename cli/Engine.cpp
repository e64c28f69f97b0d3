#include "cli/Engine.h"

#include "worker/Slimmer.h"

namespace cli {

bool slim(const std::filesystem::path& file, bool deep, worker::FileReporter& reporter, worker::FileResult& result,
          worker::WorkerError& err)
{
    worker::Slimmer slimmer;
    return slimmer.process(file, deep, reporter, result, err);
}

bool analyse(const std::filesystem::path&, bool, worker::FileReporter&, worker::FileResult&, worker::WorkerError& err)
{
    return worker::fail(err, "Unavailable",
                        "--dry-run is not available in this build: the engine has no analysis pass");
}

} // namespace cli
