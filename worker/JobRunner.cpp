#include "worker/JobRunner.h"

#include "worker/OrderedOutput.h"
#include "worker/Protocol.h"
#include "engine/Slimmer.h"
#include "engine/StopRequest.h"
#include "engine/TextUtil.h"

#include <deque>

namespace worker {

namespace {

// Maps a file's own progress (0..100) into the job's range and passes log lines through, in job order.
class ScaledReporter final : public FileReporter {
public:
    ScaledReporter(OrderedOutput& output, std::size_t index, std::int64_t base, std::int64_t total)
        : m_output(output), m_index(index), m_base(base), m_total(total)
    {
    }
    void progress(int value, std::string_view text) override
    {
        m_output.progress(m_index, m_base + value, m_total, text);
    }
    void log(std::string_view text) override { m_output.log(m_index, text); }

private:
    OrderedOutput& m_output;
    std::size_t m_index;
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
    OrderedOutput output(writer, job.files.size());
    const std::int64_t totalUnits = static_cast<std::int64_t>(job.files.size()) * 100;
    // A file may end after later ones started (its last step held back to be committed with theirs): each keeps
    // its reporter until then.
    std::deque<ScaledReporter> reporters;
    std::size_t notStarted = 0;
    std::size_t stoppedFiles = 0;
    for (std::size_t i = 0; i < job.files.size(); ++i) {
        if (stopRequested()) {
            notStarted = job.files.size() - i;
            break;
        }
        const std::filesystem::path& file = job.files[i];
        const std::int64_t base = static_cast<std::int64_t>(i) * 100;
        ScaledReporter& reporter = reporters.emplace_back(output, i, base, totalUnits);
        const FileDone done = [&, i, base](bool ok, const FileResult& result, const WorkerError& error) {
            if (!ok && error.type == kStoppedErrorType) {
                ++stoppedFiles;
                output.log(i, "已停止：" + fileNameText(job.files[i]) + " 未改动");
            } else if (ok) {
                ++totals.exported;
                totals.bytesSaved += result.bytesSaved;
                totals.modifications += result.modifications;
            } else {
                ++totals.failed;
                const std::string name = fileNameText(job.files[i]);
                output.log(i, "处理失败：" + name + "（" + error.type + ": " + error.message + "）");
                output.progress(i, base + 100, totalUnits, "失败：" + name);
            }
            output.finish(i);
        };
        const auto unusable = job.unusable.find(i);
        if (unusable == job.unusable.end()) {
            processor.start(file, job.deep, reporter, done);
        } else {
            WorkerError error;
            fail(error, unusable->second.type, unusable->second.message);
            done(false, FileResult{}, error);
        }
    }
    // Files waiting for their commit are abandoned there when a stop was asked for.
    processor.finishPending();
    if (notStarted > 0 || stoppedFiles > 0)
        return stopRun(writer, notStarted);
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
