#include "cli/Engine.h"

#include "worker/Slimmer.h"

namespace cli {

namespace {

// The engine works in the file's folder, which a bare name ("a.psd") does not name.
bool absoluteFile(const std::filesystem::path& file, std::filesystem::path& absolute, worker::WorkerError& err)
{
    std::error_code ec;
    absolute = std::filesystem::absolute(file, ec);
    if (ec)
        return worker::fail(err, "IoError", "cannot resolve the path: " + ec.message());
    return true;
}

} // namespace

bool slim(const std::filesystem::path& file, bool deep, worker::FileReporter& reporter, worker::FileResult& result,
          worker::WorkerError& err)
{
    std::filesystem::path absolute;
    if (!absoluteFile(file, absolute, err))
        return false;
    worker::Slimmer slimmer;
    return slimmer.process(absolute, deep, reporter, result, err);
}

bool analyse(const std::filesystem::path&, bool, worker::FileReporter&, worker::FileResult&, worker::WorkerError& err)
{
    return worker::fail(err, "Unavailable",
                        "--dry-run is not available in this build: the engine has no analysis pass");
}

} // namespace cli
