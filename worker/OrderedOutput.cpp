#include "worker/OrderedOutput.h"

namespace worker {

OrderedOutput::OrderedOutput(ProtocolWriter& writer, std::size_t files)
    : m_writer(writer), m_held(files), m_finished(files, false)
{
}

void OrderedOutput::write(const Line& line)
{
    if (line.progress)
        m_writer.progress(line.value, line.total, line.text);
    else
        m_writer.log(line.text);
}

void OrderedOutput::progress(std::size_t file, std::int64_t value, std::int64_t total, std::string_view text)
{
    const Line line{true, value, total, std::string(text)};
    if (file == m_current)
        write(line);
    else if (file < m_held.size())
        m_held[file].push_back(line);
}

void OrderedOutput::log(std::size_t file, std::string_view text)
{
    const Line line{false, 0, 0, std::string(text)};
    if (file == m_current)
        write(line);
    else if (file < m_held.size())
        m_held[file].push_back(line);
}

void OrderedOutput::finish(std::size_t file)
{
    if (file >= m_finished.size())
        return;
    m_finished[file] = true;
    while (m_current < m_finished.size() && m_finished[m_current]) {
        ++m_current;
        if (m_current < m_held.size()) {
            for (const Line& line : m_held[m_current])
                write(line);
            m_held[m_current].clear();
            m_held[m_current].shrink_to_fit();
        }
    }
}

} // namespace worker
