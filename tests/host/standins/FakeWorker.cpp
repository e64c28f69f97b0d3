// A stand-in for a worker that the page supervises (the layer export worker, or the PSD slim worker where a test
// needs a misbehaving one). It reads the job file named after "--job", writes protocol lines on standard output
// and exits. The behaviour comes from the environment:
//   LEANFOLD_FAKE_MODE    normal | crlf | split | nofinallf | badutf8 | crash | badjson | sleep | stderr | flood |
//                         overlong | items | exitonly | nodone | stopline   (default normal; nodone writes no DONE
//                                                                  of its own, so LEANFOLD_FAKE_LINES can bring one;
//                                                                  stopline ends with 130 on a line "STOP" on its
//                                                                  standard input, writing "<record>.stopped",
//                                                                  and on nothing else: SIGTERM is ignored)
//   LEANFOLD_FAKE_EXIT    exit code at the end                     (default 0)
//   LEANFOLD_FAKE_FLOOD   mode flood: "<LOG lines>,<standard error bytes>" written after the start line; the
//                         first 256 KiB of standard error hold no line feed           (default "5000,4194304")
//   LEANFOLD_FAKE_LINES   raw lines, separated by '|', written after the per-file lines
//   LEANFOLD_FAKE_STDERR  raw text written to standard error after those lines
//   LEANFOLD_FAKE_RELEASE a file to wait for before the worker ends (DONE, crash or exit), so a test can look
//                         at the page while the worker is still running
//   LEANFOLD_FAKE_RECORD  file that receives the arguments, the working folder and the job text, written
//                         before any output so a test can read what the worker was given; a later worker
//                         writes "<file>.2", "<file>.3" and so on
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef __unix__
#include <unistd.h>
#endif

namespace {

std::string env(const char* name, const char* fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

void put(const std::string& bytes)
{
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void pause(int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void record(const std::string& target, int argc, char** argv, const std::string& jobText)
{
    if (target.empty())
        return;
    std::string name = target;
    for (int n = 2; std::filesystem::exists(name); ++n)
        name = target + "." + std::to_string(n);
    // Written beside the target and renamed, so a reader never sees half a record.
    const std::string partial = name + ".partial";
    {
        std::ofstream out(partial, std::ios::binary);
        out << "cwd\t" << std::filesystem::current_path().generic_string() << '\n';
#ifdef __unix__
        out << "pid\t" << ::getpid() << '\n';
#endif
        for (int i = 1; i < argc; ++i)
            out << "arg\t" << argv[i] << '\n';
        out << "job\t" << jobText << '\n';
    }
    std::filesystem::rename(partial, name);
}

} // namespace

int main(int argc, char** argv)
{
    std::string jobPath;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--job")
            jobPath = argv[i + 1];
    }
    if (jobPath.empty()) {
        std::fputs("usage: FakeWorker --job <file>\n", stderr);
        return 64;
    }
    std::ifstream in(jobPath, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string jobText = text.str();
    record(env("LEANFOLD_FAKE_RECORD", ""), argc, argv, jobText);

    const nlohmann::json job = nlohmann::json::parse(jobText, nullptr, false);
    std::vector<std::string> files;
    if (job.is_object() && job.contains("files") && job["files"].is_array()) {
        for (const auto& file : job["files"]) {
            if (file.is_string())
                files.push_back(file.get<std::string>());
        }
    }

    const std::string mode = env("LEANFOLD_FAKE_MODE", "normal");
    const int exitCode = std::atoi(env("LEANFOLD_FAKE_EXIT", "0").c_str());
    const std::string eol = mode == "crlf" ? "\r\n" : "\n";
    const std::string total = std::to_string(files.size());

    if (mode == "exitonly")
        return exitCode;

    put("LOG\tstand-in started" + eol);

    if (mode == "stderr") {
        std::fputs(" \t\r\n  \n", stderr);
        std::fflush(stderr);
        pause(100);
        std::fputs("first detail\nsecond detail\n", stderr);
        std::fflush(stderr);
    }
    if (mode == "flood") {
        const std::string flood = env("LEANFOLD_FAKE_FLOOD", "5000,4194304");
        const long long logLines = std::atoll(flood.c_str());
        const std::size_t comma = flood.find(',');
        const long long errorBytes = comma == std::string::npos ? 0 : std::atoll(flood.c_str() + comma + 1);
        std::string batch;
        for (long long i = 0; i < logLines; ++i) {
            batch += "LOG\tflood line " + std::to_string(i) + eol;
            if (batch.size() > 65536) {
                put(batch);
                batch.clear();
            }
        }
        put(batch);
        std::string chunk(std::min<long long>(errorBytes, 256 * 1024), 'y');
        for (long long written = 0; written < errorBytes;) {
            std::fwrite(chunk.data(), 1, chunk.size(), stderr);
            std::fflush(stderr);
            written += static_cast<long long>(chunk.size());
            chunk.clear();
            for (int n = 0; chunk.size() < 65536; ++n)
                chunk += "detail " + std::to_string(written + n) + " of a worker that does not stop talking\n";
            chunk.resize(static_cast<std::size_t>(std::min<long long>(65536, errorBytes - written)));
        }
    }
    if (mode == "badutf8")
        put("LOG\tbad \xff\xfe bytes" + eol);
    if (mode == "overlong")
        put("LOG\t" + std::string(2 * 1024 * 1024, 'x') + "\tDONE\t{\"exported\":999}" + eol);

    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string current = std::to_string(i + 1);
        const std::string name = std::filesystem::path(files[i]).filename().string();
        if (mode == "split") {
            // The first write ends inside the current field; the host must wait for the rest.
            put("PROGRESS\t" + current);
            pause(150);
            put("0\t" + total + "0\t\xe5\xaf\xbc\xe5\x87\xba\xef\xbc\x9a" + name + "\tpart two" + eol);
        } else {
            put("PROGRESS\t" + current + "\t" + total + "\t\xe5\xaf\xbc\xe5\x87\xba\xef\xbc\x9a" + name + eol);
        }
        if (mode == "items" && i < 2)
            put("ITEM\t" + std::string(i % 2 == 0 ? "ok" : "OK") + "\t" + files[i] + eol);
    }

    const std::string extra = env("LEANFOLD_FAKE_LINES", "");
    for (std::size_t start = 0; !extra.empty() && start <= extra.size();) {
        const std::size_t bar = std::min(extra.find('|', start), extra.size());
        put(extra.substr(start, bar - start) + eol);
        start = bar + 1;
    }
    const std::string errorText = env("LEANFOLD_FAKE_STDERR", "");
    if (!errorText.empty()) {
        std::fputs(errorText.c_str(), stderr);
        std::fflush(stderr);
    }
    const std::string release = env("LEANFOLD_FAKE_RELEASE", "");
    for (int i = 0; !release.empty() && i < 3000 && !std::filesystem::exists(release); ++i)
        pause(20);

    if (mode == "crash")
        std::abort();
    if (mode == "stopline") {
#ifdef __unix__
        std::signal(SIGTERM, SIG_IGN);
#endif
        for (std::string line; std::getline(std::cin, line);) {
            if (line == "STOP") {
                std::ofstream(env("LEANFOLD_FAKE_RECORD", "") + ".stopped") << "STOP\n";
                return 130;
            }
        }
        for (int i = 0; i < 600; ++i) // the end of standard input is no stop
            pause(100);
        return exitCode;
    }
    if (mode == "sleep") {
        // Stays busy until the host ends it.
        for (int i = 0; i < 600; ++i)
            pause(100);
        return exitCode;
    }

    // In items mode one file failed: the counts still add up to the batch, as a real worker's do.
    const std::string exported = mode == "items" && !files.empty() ? std::to_string(files.size() - 1) : total;
    const std::string done = "{\"exported\":" + exported +
                             ",\"skipped\":0,\"failed\":" + (mode == "items" ? "1" : "0") +
                             ",\"bytesSaved\":" + std::to_string(files.size() * 1000) + "}";
    if (mode == "nodone")
        return exitCode;
    if (mode == "badjson")
        put("DONE\t{\"exported\":" + total + "," + eol);
    else if (mode == "nofinallf")
        put("DONE\t" + done);
    else
        put("DONE\t" + done + eol);
    return exitCode;
}
