#include "worker/Job.h"

#include "engine/TextUtil.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <system_error>

namespace worker {

namespace {

// A job names at most a few dozen files; anything far larger is not a job file.
constexpr std::uintmax_t kMaxJobBytes = 16u * 1024 * 1024;

bool makeCanonical(const std::string& text, std::filesystem::path& out, WorkerError& err)
{
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(pathFromUtf8(text), ec);
    if (ec)
        return fail(err, "IoError", "cannot make \"" + text + "\" absolute: " + ec.message());
    // weakly_canonical: the file may be gone by now; that fails the file later, not the job.
    out = std::filesystem::weakly_canonical(absolute, ec);
    if (ec)
        return fail(err, "IoError", "cannot resolve \"" + text + "\": " + ec.message());
    return true;
}

} // namespace

bool parseCommandLine(const std::vector<std::string_view>& args, std::filesystem::path& jobPath)
{
    bool found = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--job") {
            if (i + 1 >= args.size())
                return false;
            jobPath = pathFromUtf8(std::string(args[++i]));
        } else if (arg.starts_with("--job=")) {
            jobPath = pathFromUtf8(std::string(arg.substr(6)));
        } else {
            return false;
        }
        if (jobPath.empty())
            return false;
        found = true;
    }
    return found;
}

std::string usageText()
{
    return "usage: LeanfoldWorker.exe --job <job file>\n";
}

bool parseJob(std::string_view text, Job& job, WorkerError& err)
{
    const nlohmann::json doc = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded())
        return fail(err, "JobError", "the job file is not valid UTF-8 JSON");
    if (!doc.is_object())
        return fail(err, "JobError", "the job file does not hold a JSON object");

    Job parsed;
    if (const auto deep = doc.find("deep"); deep != doc.end()) {
        if (!deep->is_boolean())
            return fail(err, "JobError", "\"deep\" is not true or false");
        parsed.deep = deep->get<bool>();
    }
    if (const auto files = doc.find("files"); files != doc.end()) {
        if (!files->is_array())
            return fail(err, "JobError", "\"files\" is not an array");
        parsed.files.reserve(files->size());
        std::size_t index = 0;
        for (const auto& entry : *files) {
            // A non-string entry means the job was not written by our host: refuse the whole job rather than
            // guess which file was meant.
            if (!entry.is_string())
                return fail(err, "JobError", "entry " + std::to_string(index) + " of \"files\" is not a string");
            const auto& text = entry.get_ref<const std::string&>();
            if (text.empty() || text.find('\0') != std::string::npos)
                return fail(err, "JobError", "entry " + std::to_string(index) + " of \"files\" is not a path");
            std::filesystem::path path;
            WorkerError pathError;
            if (!makeCanonical(text, path, pathError)) {
                path = pathFromUtf8(text);
                parsed.unusable.emplace(index, std::move(pathError));
            }
            parsed.files.push_back(std::move(path));
            ++index;
        }
    }
    job = std::move(parsed);
    return true;
}

bool loadJob(const std::filesystem::path& jobPath, Job& job, WorkerError& err)
{
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(jobPath, ec);
    if (ec)
        return fail(err, "JobError", "cannot read the job file " + pathText(jobPath) + ": " + ec.message());
    if (size > kMaxJobBytes)
        return fail(err, "JobError", "the job file " + pathText(jobPath) + " is too large");
    std::ifstream in(jobPath, std::ios::binary);
    if (!in)
        return fail(err, "JobError", "cannot open the job file " + pathText(jobPath));
    std::string text;
    text.reserve(static_cast<std::size_t>(size));
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad())
        return fail(err, "JobError", "cannot read the job file " + pathText(jobPath));
    return parseJob(text, job, err);
}

} // namespace worker
