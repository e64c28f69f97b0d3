#include "cli/Report.h"

#include "cli/Interrupt.h"
#include "cli/ProgressBar.h"

#include "engine/TextUtil.h"

#include <nlohmann/json.hpp>

namespace cli {

namespace {

std::string oneLine(std::string_view text)
{
    const std::string valid = worker::toValidUtf8(text);
    std::string shown;
    for (const char c : valid) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            shown += escaped;
        } else {
            shown += c;
        }
    }
    return shown;
}

void writeLine(std::FILE* out, const std::string& line)
{
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    // A reader that went away (leanfold-slim ... | head -1) ends the run after the file in progress.
    if (std::fflush(out) != 0 || std::ferror(out) != 0)
        requestStop();
}

std::string count(std::int64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

class HumanReport final : public Report
{
public:
    HumanReport(std::FILE* out, std::FILE* err, bool dryRun, bool quiet, bool verbose)
        : m_out(out), m_err(err), m_dryRun(dryRun), m_quiet(quiet), m_verbose(verbose)
    {
    }

    void file(const FileOutcome& o) override
    {
        const std::string path = displayPath(o.path);
        if (!o.done) {
            const std::string type = o.errorType.empty() ? "" : o.errorType + ": ";
            writeLine(m_quiet ? m_err : m_out, path + ": failed: " + type + oneLine(o.error));
            return;
        }
        if (m_quiet)
            return;
        const std::int64_t saved = o.bytesBefore - o.bytesAfter;
        writeLine(m_out, path + ": " + (m_dryRun ? "would save " : "saved ") + humanBytes(saved) + " (" +
                             std::to_string(saved) + " bytes; " + count(o.items, "history item", "history items") +
                             ", " + count(o.embedded, "embedded object", "embedded objects") + ")");
    }

    void summary(const RunSummary& s) override
    {
        if (m_quiet)
            return;
        std::string line = s.interrupted ? "Interrupted: " : "";
        line += count(s.done, "file", "files") + (s.dryRun ? " checked, " : " done, ") + std::to_string(s.failed) +
                " failed, " + humanBytes(s.bytesSaved) + " (" + std::to_string(s.bytesSaved) + " bytes) " +
                (s.dryRun ? "would be saved" : "saved");
        if (s.interrupted)
            line += "; the rest was left untouched";
        writeLine(m_out, line);
    }

    void step(const std::filesystem::path& path, const std::string& text) override
    {
        if (m_verbose)
            writeLine(m_err, displayPath(path) + ": " + oneLine(text));
    }

private:
    std::FILE* m_out;
    std::FILE* m_err;
    bool m_dryRun;
    bool m_quiet;
    bool m_verbose;
};

class JsonReport final : public Report
{
public:
    JsonReport(std::FILE* out, std::FILE* err, bool dryRun, bool verbose)
        : m_out(out), m_err(err), m_dryRun(dryRun), m_verbose(verbose)
    {
    }

    void file(const FileOutcome& o) override
    {
        nlohmann::ordered_json line;
        line["path"] = worker::pathText(o.path);
        line["status"] = o.done ? "done" : "failed";
        line["items"] = o.items;
        line["embedded"] = o.embedded;
        line["bytesBefore"] = o.bytesBefore;
        line["bytesAfter"] = o.bytesAfter;
        line["error"] = o.done ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(o.error);
        line["errorType"] = o.done ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(o.errorType);
        line["dryRun"] = m_dryRun;
        write(line);
    }

    void summary(const RunSummary& s) override
    {
        nlohmann::ordered_json line;
        line["summary"] = true;
        line["done"] = s.done;
        line["failed"] = s.failed;
        line["bytesSaved"] = s.bytesSaved;
        line["interrupted"] = s.interrupted;
        line["dryRun"] = s.dryRun;
        write(line);
    }

    void step(const std::filesystem::path& path, const std::string& text) override
    {
        if (m_verbose)
            writeLine(m_err, displayPath(path) + ": " + oneLine(text));
    }

private:
    void write(const nlohmann::ordered_json& line)
    {
        // Texts are valid UTF-8 already; replace is the guard that keeps dump() from throwing all the same.
        writeLine(m_out, line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
    }

    std::FILE* m_out;
    std::FILE* m_err;
    bool m_dryRun;
    bool m_verbose;
};

} // namespace

std::string displayPath(const std::filesystem::path& path)
{
    return oneLine(worker::pathText(path));
}

std::unique_ptr<Report> makeHumanReport(std::FILE* out, std::FILE* err, bool dryRun, bool quiet, bool verbose)
{
    return std::make_unique<HumanReport>(out, err, dryRun, quiet, verbose);
}

std::unique_ptr<Report> makeJsonReport(std::FILE* out, std::FILE* err, bool dryRun, bool verbose)
{
    return std::make_unique<JsonReport>(out, err, dryRun, verbose);
}

} // namespace cli
