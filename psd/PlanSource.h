#pragma once

#include "psd/Document.h"
#include "psd/Source.h"

#include <memory>

namespace psd {

// What a write plan puts together, read as a source without being written: copies are read from the plan's
// source, literals from their bytes. A rewritten embedded document can so be opened and compared while nothing
// of it is held but its plan.
class PlanSource final : public Source
{
public:
    // Fails when plan does not fit source (see WritePlan::fits).
    static bool make(SourcePtr source, WritePlan plan, std::shared_ptr<const PlanSource>& out, Error& err);

    std::uint64_t size() const override { return m_plan.outputSize; }
    bool read(std::uint64_t offset, void* out, std::size_t length, Error& err) const override;
    const WritePlan& plan() const { return m_plan; }

private:
    PlanSource(SourcePtr source, WritePlan plan);

    SourcePtr m_source;
    WritePlan m_plan;
};

} // namespace psd
