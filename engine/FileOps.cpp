#include "engine/FileOps.h"

#include "engine/TextUtil.h"

#include <random>

namespace worker::files {

namespace {

constexpr std::size_t kMaxNameBytes = 255;
constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";

// Cuts text to at most limit bytes, never inside a UTF-8 sequence.
void cutAtCharacter(std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return;
    while (limit > 0 && (static_cast<unsigned char>(text[limit]) & 0xC0) == 0x80)
        --limit;
    text.resize(limit);
}

// The stem as it appears in temporary names: cut so that the whole name fits.
std::string nameStem(const std::filesystem::path& original, std::size_t extensionBytes)
{
    std::string stem = pathBytes(original.stem());
    const std::size_t fixed = 1 + kTempMarker.size() + kRandomLength + extensionBytes;
    if (fixed >= kMaxNameBytes)
        return stem; // nothing sensible fits; creating the file reports the name as too long
    cutAtCharacter(stem, kMaxNameBytes - fixed);
    return stem;
}

// 64-bit FNV-1a: a fixed, portable hash, so that every run and platform derives the same backup name.
std::string nameHash(std::string_view bytes)
{
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, hash >>= 4)
        out[static_cast<std::size_t>(i)] = kHex[hash & 0xF];
    return out;
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
    const std::string name = pathBytes(original.filename());
    std::string backup = name;
    if (name.size() + kBackupSuffix.size() > kMaxNameBytes) {
        // "~" and the hash of the whole name keep apart the backups of long names that begin alike.
        cutAtCharacter(backup, kMaxNameBytes - kBackupSuffix.size() - 1 - 16);
        backup += '~';
        backup += nameHash(name);
    }
    return original.parent_path() / pathFromUtf8(backup + std::string(kBackupSuffix));
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

bool groupWaitLifted()
{
    return g_testHooks.groupsUntimed;
}

bool xmpSkipTurnedOff()
{
    return g_testHooks.xmpParseAll;
}

} // namespace worker::files
