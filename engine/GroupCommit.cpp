#include "engine/GroupCommit.h"

#include "engine/StopRequest.h"
#include "engine/TextUtil.h"

#include <new>

namespace worker {

namespace {

// A file of the group on its way: ok until one of its steps fails.
struct Commit
{
    PreparedFile* file = nullptr;
    bool ok = true;
    bool replaced = false;
    WorkerError err;
    files::ReplaceWarning warning;
};

// Everything the file's own replacement does, but the flush of its folder.
void replaceOne(Commit& c)
{
    PreparedFile& p = *c.file;
    files::pausePoint("after-sync");
    for (const std::string& attribute : p.notCopied)
        p.reporter->log("未能保留扩展属性：" + p.name + "（" + attribute + "）");
    files::FileInfo now;
    if (!files::describe(p.file, now, c.err)) {
        c.ok = false;
        return;
    }
    if (!now.sameVersion(p.info)) {
        c.ok = fail(c.err, "IoError", "the file was changed by someone else while it was being slimmed");
        return;
    }
    files::pausePoint("before-replace");
    // The last moment to stop: once the replacement begins, the file is finished.
    if (stopped(c.err)) {
        c.ok = false;
        return;
    }
    c.ok = p.temp.replace(p.file, *p.read, c.warning, c.err, files::TempFile::FolderFlush::Later);
    c.replaced = c.ok;
}

void finishOne(Commit& c)
{
    PreparedFile& p = *c.file;
    if (!c.ok) {
        if (stopRequested())
            stopped(c.err); // left as it was, whichever step noticed the request
        // The temporary goes, and a backup whose original is missing is put back.
        p.temp.discard();
        p.source.reset();
        files::LeftoverReport ignored;
        WorkerError cleanupError;
        files::cleanLeftovers(p.file, files::LeftoverPass::AfterFailure, ignored, cleanupError);
        p.done(false, FileResult{}, c.err);
        return;
    }
    // Replaced: the file counts as done even when the rename may not be on disk yet.
    if (c.warning.kind == files::ReplaceWarning::Kind::FolderNotFlushed)
        p.reporter->log("已替换，但文件夹未能写入磁盘，断电后此次更改可能丢失：" + p.name + "（" + c.warning.message +
                        "）");
    if (c.warning.kind == files::ReplaceWarning::Kind::BackupKept)
        p.reporter->log("已替换，但旧文件的备份未能删除，下次处理此文件时删除：" + p.name + "（" + c.warning.message +
                        "）");
    p.temp.discard();
    p.source.reset();
    reportDone(p);
}

} // namespace

void reportDone(PreparedFile& p)
{
    p.reporter->log("已完成：" + p.name + "；清理元数据 " + std::to_string(p.removed) + " 项；嵌入对象 " +
                    std::to_string(p.embeddedChanged) + " 个；节省 " + std::to_string(p.result.bytesSaved) + " 字节");
    p.reporter->progress(100, "完成：" + p.name);
    p.done(true, p.result, WorkerError{});
}

void commitFiles(std::vector<std::unique_ptr<PreparedFile>>& prepared)
{
    std::vector<Commit> commits;
    commits.reserve(prepared.size());
    for (const auto& p : prepared) {
        Commit& c = commits.emplace_back();
        c.file = p.get();
    }
    // The data first, every file's: the first flush commits the journal for all of them, the later ones find
    // little left to wait for. Nothing is replaced before every flush has been tried.
    for (Commit& c : commits)
        c.ok = !stopped(c.err) && c.file->temp.sync(c.err);
    for (Commit& c : commits) {
        if (c.ok)
            replaceOne(c);
    }
    // Each folder once, after all its renames: a file is done only when its rename is on disk.
    std::vector<std::size_t> flushed;
    for (std::size_t i = 0; i < commits.size(); ++i) {
        if (!commits[i].replaced)
            continue;
        const std::filesystem::path folder = commits[i].file->file.parent_path();
        bool seen = false;
        for (const std::size_t j : flushed)
            seen = seen || commits[j].file->file.parent_path() == folder;
        if (seen)
            continue;
        flushed.push_back(i);
        WorkerError flushError;
        if (commits[i].file->temp.flushFolder(flushError))
            continue;
        for (std::size_t k = i; k < commits.size(); ++k) {
            if (commits[k].replaced && commits[k].file->file.parent_path() == folder)
                commits[k].warning = {files::ReplaceWarning::Kind::FolderNotFlushed, flushError.message};
        }
    }
    for (Commit& c : commits)
        finishOne(c);
    prepared.clear();
}

void GroupCommit::add(std::unique_ptr<PreparedFile> prepared)
{
    if (m_files.empty())
        m_started = std::chrono::steady_clock::now();
    m_bytes += prepared->bytes;
    m_files.push_back(std::move(prepared));
    if (m_files.size() >= kMaxFiles || m_bytes >= kMaxBytes)
        commit();
    else
        commitIfDue();
}

void GroupCommit::commitIfDue()
{
    if (files::groupWaitLifted())
        return;
    if (!m_files.empty() && std::chrono::steady_clock::now() - m_started >= kMaxWait)
        commit();
}

bool GroupCommit::holds(const std::filesystem::path& file) const
{
    for (const auto& p : m_files) {
        if (p->file == file)
            return true;
    }
    return false;
}

void GroupCommit::commit()
{
    commitFiles(m_files);
    m_bytes = 0;
}

} // namespace worker
