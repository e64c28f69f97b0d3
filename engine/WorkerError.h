#pragma once

#include <string>

namespace worker {

// What made one file (or the job) fail. type is the short name shown in the run log ("IoError",
// "FormatError", "ValidationError", "JobError"); message says what happened, in plain words.
struct WorkerError {
    std::string type;
    std::string message;
};

inline bool fail(WorkerError& err, std::string type, std::string message)
{
    err.type = std::move(type);
    err.message = std::move(message);
    return false;
}

} // namespace worker
