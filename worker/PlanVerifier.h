#pragma once

#include "worker/WorkerError.h"

#include "psd/Document.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <thread>

namespace worker {

// Checks a file being written against its write plan while it is written: every copied range must read back equal
// to its source range, every rewritten range must hold exactly the planned bytes, and the file must end where the
// plan ends. It reads the file through a descriptor of its own (the file re-opened by name) and follows the writer,
// so the comparison runs while the disk is still busy with the copy.
class PlanVerifier {
public:
    PlanVerifier(const psd::WritePlan& plan, const psd::Source& original);
    ~PlanVerifier();
    PlanVerifier(const PlanVerifier&) = delete;
    PlanVerifier& operator=(const PlanVerifier&) = delete;

    bool start(const std::filesystem::path& written, WorkerError& err);
    // The writer has put this many bytes into the file.
    void advance(std::uint64_t written);
    // No more bytes will come; waits for the check and reports its result.
    bool finish(WorkerError& err);

private:
    void run();
    bool waitFor(std::uint64_t end);
    bool check(WorkerError& err);

    const psd::WritePlan& m_plan;
    const psd::Source& m_original;
    int m_originalFd = -1;
    std::uint64_t m_originalBase = 0;
    int m_writtenFd = -1;

    std::mutex m_mutex;
    std::condition_variable m_moved;
    std::uint64_t m_written = 0;
    bool m_finished = false;
    std::thread m_thread;
    bool m_ok = false;
    WorkerError m_error;
};

} // namespace worker
