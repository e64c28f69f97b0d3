#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>

namespace worker {

// One field of an output line: carriage returns and line feeds become spaces (a line feed would split the
// record), tabs stay (the host joins trailing fields back with a tab), invalid UTF-8 becomes U+FFFD.
std::string protocolField(std::string_view text);

struct RunTotals {
    std::int64_t exported = 0;
    std::int64_t skipped = 0;
    std::int64_t failed = 0;
    std::int64_t bytesSaved = 0;
    std::int64_t modifications = 0;
};

// {"exported":N,"skipped":N,"failed":N,"bytesSaved":N,"modifications":N}, compact, keys in this order.
std::string doneJson(const RunTotals& totals);

// Writes the worker's standard-output lines to an injected stream, one flushed line per call.
class ProtocolWriter {
public:
    explicit ProtocolWriter(std::ostream& out) : m_out(out) {}

    void emitLine(std::string_view kind, std::initializer_list<std::string_view> fields);

    void progress(std::int64_t value, std::int64_t total, std::string_view text);
    void log(std::string_view text);
    void error(std::string_view text);
    void done(const RunTotals& totals);

private:
    std::ostream& m_out;
};

} // namespace worker
