#include "worker/JobRunner.h"

#include "worker/Protocol.h"
#include "worker/Slimmer.h"
#include "worker/StopRequest.h"
#include "worker/TextUtil.h"

namespace worker {

namespace {

// Maps a file's own progress (0..100) into the job's range and passes log lines through.
class ScaledReporter final : public FileReporter {
public:
    ScaledReporter(ProtocolWriter& writer, std::int64_t base, std::int64_t total)
        : m_writer(writer), m_base(base), m_total(total)
    {
    }
    void progress(int value, std::string_view text) override { m_writer.progress(m_base + value, m_total, text); }
    void log(std::string_view text) override { m_writer.log(text); }

private:
    ProtocolWriter& m_writer;
    std::int64_t m_base;
    std::int64_t m_total;
};

// Asked to stop: no DONE, since the job did not finish.
int stopRun(ProtocolWriter& writer, std::size_t notStarted)
{
    writer.log("已按请求停止；未处理的文件：" + std::to_string(notStarted) + " 个");
    return kExitStopped;
}

} // namespace

int runJob(const Job& job, std::ostream& out)
{
    Slimmer slimmer;
    return runJob(job, out, slimmer);
}

int runJob(const Job& job, std::ostream& out, FileProcessor& processor)
{
    ProtocolWriter writer(out);
    if (job.files.empty()) {
        writer.error("没有可处理的 PSD/PSB 文件");
        return kExitNoFiles;
    }
    RunTotals totals;
    const std::int64_t totalUnits = static_cast<std::int64_t>(job.files.size()) * 100;
    for (std::size_t i = 0; i < job.files.size(); ++i) {
        if (stopRequested())
            return stopRun(writer, job.files.size() - i);
        const std::filesystem::path& file = job.files[i];
        const std::int64_t base = static_cast<std::int64_t>(i) * 100;
        ScaledReporter reporter(writer, base, totalUnits);
        FileResult result;
        WorkerError error;
        const auto unusable = job.unusable.find(i);
        const bool ok = unusable == job.unusable.end() ? processor.process(file, job.deep, reporter, result, error)
                                                       : fail(error, unusable->second.type, unusable->second.message);
        if (!ok && stopRequested()) {
            writer.log("已停止：" + fileNameText(file) + " 未改动");
            return stopRun(writer, job.files.size() - i - 1);
        }
        if (ok) {
            ++totals.exported;
            totals.bytesSaved += result.bytesSaved;
            totals.modifications += result.modifications;
        } else {
            ++totals.failed;
            const std::string name = fileNameText(file);
            writer.log("处理失败：" + name + "（" + error.type + ": " + error.message + "）");
            writer.progress(base + 100, totalUnits, "失败：" + name);
        }
    }
    writer.done(totals);
    return totals.failed == 0 ? kExitOk : kExitSomeFailed;
}

int runWorker(const std::vector<std::string_view>& args, std::ostream& out, std::ostream& err)
{
    std::filesystem::path jobPath;
    if (!parseCommandLine(args, jobPath)) {
        err << usageText() << std::flush;
        return kExitUsage;
    }
    Job job;
    WorkerError error;
    if (!loadJob(jobPath, job, error)) {
        err << toValidUtf8(error.type + ": " + error.message) << '\n' << std::flush;
        return kExitBadJob;
    }
    return runJob(job, out);
}

} // namespace worker
