#pragma once

#include "engine/VerifyingSink.h"
#include "engine/WorkerError.h"

#include "psd/Document.h"

#include <vector>

namespace worker {

// Checks a written file against its write plan: every copied range must equal its source range, every rewritten
// range must hold exactly the planned bytes, and the file must end where the plan ends. Copies the sink already
// read back (verified) are not read again when they match the plan's mapping; anything else is compared by
// reading both files. written is read through the handle the file was written with, never re-opened by name.
bool verifyAgainstPlan(const psd::WritePlan& plan, const psd::Source& original, const psd::Source& written,
                       const std::vector<VerifiedCopy>& verified, WorkerError& err);

} // namespace worker
