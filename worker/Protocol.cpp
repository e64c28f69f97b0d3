#include "worker/Protocol.h"

#include "engine/TextUtil.h"

#include <nlohmann/json.hpp>

namespace worker {

std::string protocolField(std::string_view text)
{
    std::string field = toValidUtf8(text);
    for (char& c : field)
        if (c == '\r' || c == '\n')
            c = ' ';
    return field;
}

std::string doneJson(const RunTotals& totals)
{
    nlohmann::ordered_json object;
    object["exported"] = totals.exported;
    object["skipped"] = totals.skipped;
    object["failed"] = totals.failed;
    object["bytesSaved"] = totals.bytesSaved;
    object["modifications"] = totals.modifications;
    // dump() without indent is compact; ensure_ascii is off, so non-ASCII stays as itself.
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void ProtocolWriter::emitLine(std::string_view kind, std::initializer_list<std::string_view> fields)
{
    std::string line = protocolField(kind);
    for (std::string_view field : fields) {
        line += '\t';
        line += protocolField(field);
    }
    line += '\n';
    m_out.write(line.data(), static_cast<std::streamsize>(line.size()));
    m_out.flush();
}

void ProtocolWriter::progress(std::int64_t value, std::int64_t total, std::string_view text)
{
    emitLine("PROGRESS", {std::to_string(value), std::to_string(total), text});
}

void ProtocolWriter::log(std::string_view text)
{
    emitLine("LOG", {text});
}

void ProtocolWriter::error(std::string_view text)
{
    emitLine("ERROR", {text});
}

void ProtocolWriter::done(const RunTotals& totals)
{
    emitLine("DONE", {doneJson(totals)});
}

} // namespace worker
