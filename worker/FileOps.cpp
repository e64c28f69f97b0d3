#include "worker/FileOps.h"

#include "worker/TextUtil.h"

#include <random>

namespace worker::files {

namespace {

constexpr std::size_t kMaxNameBytes = 255;
constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";

// The stem as it appears in temporary names: cut so that the whole name fits, never inside a UTF-8 sequence.
std::string nameStem(const std::filesystem::path& original, std::size_t extensionBytes)
{
    std::string stem = pathBytes(original.stem());
    const std::size_t fixed = 1 + kTempMarker.size() + kRandomLength + extensionBytes;
    if (fixed >= kMaxNameBytes)
        return stem; // nothing sensible fits; creating the file will report the error
    std::size_t limit = kMaxNameBytes - fixed;
    if (stem.size() > limit) {
        while (limit > 0 && (static_cast<unsigned char>(stem[limit]) & 0xC0) == 0x80)
            --limit;
        stem.resize(limit);
    }
    return stem;
}

} // namespace

std::string temporaryName(const std::filesystem::path& original, std::string_view random)
{
    const std::string extension = asciiLower(pathBytes(original.extension()));
    return "." + nameStem(original, extension.size()) + std::string(kTempMarker) + std::string(random) + extension;
}

bool isTemporaryNameOf(std::string_view name, const std::filesystem::path& original)
{
    const std::string extension = asciiLower(pathBytes(original.extension()));
    const std::string prefix = "." + nameStem(original, extension.size()) + std::string(kTempMarker);
    if (name.size() != prefix.size() + kRandomLength + extension.size())
        return false;
    if (!name.starts_with(prefix) || !name.ends_with(extension))
        return false;
    for (char c : name.substr(prefix.size(), kRandomLength))
        if (kAlphabet.find(c) == std::string_view::npos)
            return false;
    return true;
}

std::filesystem::path backupPath(const std::filesystem::path& original)
{
    std::filesystem::path backup = original;
    backup += std::string(kBackupSuffix);
    return backup;
}

std::string randomPart()
{
    std::random_device device;
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string out;
    for (std::size_t i = 0; i < kRandomLength; ++i)
        out += kAlphabet[pick(device)];
    return out;
}

namespace {
TestHooks g_testHooks;
}

void installTestHooks(const TestHooks& hooks)
{
    g_testHooks = hooks;
}

void pausePoint(std::string_view step)
{
    if (g_testHooks.pause != nullptr)
        g_testHooks.pause(step);
}

int injectedFailure(std::string_view step)
{
    return g_testHooks.failure != nullptr ? g_testHooks.failure(step) : 0;
}

bool cloneRulesLifted()
{
    return g_testHooks.cloneAnySize;
}

bool xmpSkipTurnedOff()
{
    return g_testHooks.xmpParseAll;
}

} // namespace worker::files
