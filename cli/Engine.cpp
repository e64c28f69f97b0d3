#include "cli/Engine.h"

#include "engine/Slimmer.h"

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

void Slimming::start(const std::filesystem::path& file, bool deep, worker::FileReporter& reporter, Done done)
{
    std::filesystem::path absolute;
    worker::WorkerError err;
    if (!absoluteFile(file, absolute, err)) {
        done(false, worker::FileResult{}, err);
        return;
    }
    m_slimmer.start(absolute, deep, reporter, std::move(done));
}

void Slimming::finish()
{
    m_slimmer.finishPending();
}

bool Slimming::analyse(const std::filesystem::path& file, bool deep, worker::FileReporter& reporter,
                       worker::FileResult& result, worker::WorkerError& err)
{
    std::filesystem::path absolute;
    if (!absoluteFile(file, absolute, err))
        return false;
    return m_slimmer.analyse(absolute, deep, reporter, result, err);
}

} // namespace cli
