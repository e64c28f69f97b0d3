#include "cli/Run.h"

#include "cli/Engine.h"
#include "cli/Interrupt.h"
#include "cli/ProgressBar.h"
#include "cli/Report.h"
#include "cli/TreeWalk.h"

#include "engine/FileOps.h"
#include "engine/StopRequest.h"
#include "engine/TextUtil.h"

#include <algorithm>
#include <deque>
#include <optional>

namespace cli {

namespace {

// Turns the engine's progress in hundredths of a file into bytes of the run for the bar, and its log lines
// into verbose steps.
class StepReporter final : public worker::FileReporter
{
public:
    StepReporter(ProgressBar& bar, Report& report, bool verbose, const std::filesystem::path& path, std::uint64_t base,
                 std::uint64_t size)
        : m_bar(bar), m_report(report), m_verbose(verbose), m_path(path), m_name(displayPath(path.filename())),
          m_base(base), m_size(size)
    {
    }
    void progress(int value, std::string_view text) override
    {
        step(text);
        const auto hundredths = static_cast<std::uint64_t>(std::clamp(value, 0, 100));
        m_bar.update(m_base + m_size / 100 * hundredths + m_size % 100 * hundredths / 100, m_name);
    }
    void log(std::string_view text) override { step(text); }

private:
    void step(std::string_view text)
    {
        // Only a printed step wipes the bar: wiping it for nothing makes it flicker.
        if (!m_verbose)
            return;
        m_bar.clear();
        m_report.step(m_path, std::string(text));
    }

    ProgressBar& m_bar;
    Report& m_report;
    bool m_verbose;
    const std::filesystem::path& m_path;
    std::string m_name;
    std::uint64_t m_base;
    std::uint64_t m_size;
};

std::uint64_t sizeOf(const std::filesystem::path& path)
{
    worker::files::FileInfo info;
    worker::WorkerError ignored;
    return worker::files::describe(path, info, ignored) && info.regular ? info.size : 0;
}

} // namespace

int run(const Options& options, std::FILE* out, std::FILE* err, bool progressOnTerminal)
{
    std::vector<std::filesystem::path> paths;
    for (const std::string& path : options.paths)
        paths.push_back(worker::pathFromUtf8(path));
    const std::vector<Target> targets = expandPaths(paths);

    std::unique_ptr<Report> report = options.json
                                         ? makeJsonReport(out, err, options.dryRun, options.verbose)
                                         : makeHumanReport(out, err, options.dryRun, options.quiet, options.verbose);
    RunSummary summary;
    summary.dryRun = options.dryRun;
    if (targets.empty()) {
        if (options.json)
            report->summary(summary);
        else if (!options.quiet)
            std::fputs("leanfold-slim: nothing to do: no PSD or PSB file found\n", err);
        return kExitNothingToDo;
    }

    std::vector<std::uint64_t> sizes;
    std::uint64_t total = 0;
    for (const Target& target : targets) {
        sizes.push_back(target.error.empty() ? sizeOf(target.path) : 0);
        total += sizes.back();
    }
    ProgressBar bar(err, progressOnTerminal && !options.quiet, total);
    Slimming engine;
    // Outcomes are printed in the order of the files; a file's may arrive after later files started (small files
    // share their commit), or before earlier ones still waiting for it (a file that fails at once).
    std::vector<std::optional<FileOutcome>> outcomes(targets.size());
    std::size_t printed = 0;
    const auto printReady = [&] {
        while (printed < outcomes.size() && outcomes[printed]) {
            bar.clear();
            if (!outcomes[printed]->stopped)
                report->file(*outcomes[printed]);
            ++printed;
        }
    };
    const auto settle = [&](std::size_t i, FileOutcome outcome, bool ok, const worker::FileResult& result,
                            const worker::WorkerError& error) {
        if (!ok && error.type == worker::kStoppedErrorType) {
            // Abandoned for a stop request, left as it was: the summary says the run was interrupted.
            summary.interrupted = true;
            outcome.stopped = true;
        } else if (ok) {
            ++summary.done;
            outcome.done = true;
            outcome.items = result.items;
            outcome.embedded = result.embedded;
            outcome.bytesAfter = outcome.bytesBefore - result.bytesSaved;
            summary.bytesSaved += result.bytesSaved;
        } else {
            ++summary.failed;
            outcome.bytesAfter = outcome.bytesBefore;
            outcome.errorType = error.type;
            outcome.error = error.message;
        }
        outcomes[i] = std::move(outcome);
    };
    std::deque<StepReporter> reporters;
    std::uint64_t doneBytes = 0;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (interrupted()) {
            summary.interrupted = true;
            break;
        }
        const Target& target = targets[i];
        FileOutcome outcome;
        outcome.path = target.path;
        if (!target.error.empty()) {
            settle(i, std::move(outcome), false, {}, worker::WorkerError{"IoError", target.error});
        } else {
            bar.update(doneBytes, displayPath(target.path.filename()));
            StepReporter& reporter =
                reporters.emplace_back(bar, *report, options.verbose, target.path, doneBytes, sizes[i]);
            outcome.bytesBefore = static_cast<std::int64_t>(sizeOf(target.path));
            if (options.dryRun) {
                worker::FileResult result;
                worker::WorkerError error;
                const bool ok = engine.analyse(target.path, options.deep, reporter, result, error);
                settle(i, std::move(outcome), ok, result, error);
            } else {
                engine.start(
                    target.path, options.deep, reporter,
                    [&, i, outcome](bool ok, const worker::FileResult& result, const worker::WorkerError& error) {
                        settle(i, outcome, ok, result, error);
                    });
            }
        }
        doneBytes += sizes[i];
        printReady();
        bar.update(doneBytes, {});
    }
    // Files still waiting for their commit; after a stop request they are abandoned there, left as they were.
    engine.finish();
    printReady();
    bar.clear();
    // A signal that came during the last file still counts: the user asked to stop.
    summary.interrupted = summary.interrupted || interrupted();
    report->summary(summary);
    if (summary.interrupted)
        return kExitInterrupted;
    if (summary.failed > 0)
        return kExitSomeFailed;
    return kExitOk;
}

} // namespace cli
