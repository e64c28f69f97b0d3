#pragma once

#include "worker/Protocol.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace worker {

// The lines of a job's files in job order, whatever order the files end in: a file's lines go out at once while
// every earlier file has written its last line, and are held until then otherwise.
class OrderedOutput
{
public:
    OrderedOutput(ProtocolWriter& writer, std::size_t files);

    void progress(std::size_t file, std::int64_t value, std::int64_t total, std::string_view text);
    void log(std::size_t file, std::string_view text);
    // The file's last line was given: the held lines of the files after it go out, up to one still open.
    void finish(std::size_t file);

private:
    struct Line
    {
        bool progress = false;
        std::int64_t value = 0;
        std::int64_t total = 0;
        std::string text;
    };
    void write(const Line& line);

    ProtocolWriter& m_writer;
    std::vector<std::vector<Line>> m_held;
    std::vector<bool> m_finished;
    std::size_t m_current = 0; // the first file not finished: its lines are not held
};

} // namespace worker
