#pragma once

// Windows only: the text conversions and error texts every Win32 file call of the worker shares.
#include <functional>
#include <string>
#include <string_view>

namespace psd {

// The UTF-16 form of a UTF-8 path for the wide Win32 calls: made absolute and given the long-path prefix
// ("\\?\", or "\\?\UNC\" for shares), so that paths longer than MAX_PATH work. Empty when path is not valid UTF-8.
std::wstring windowsPath(std::string_view path);
std::string utf8FromWide(std::wstring_view text);
// The system's text for an error code; a file held open by another program says so in plain words.
std::string windowsErrorText(unsigned long code);
// True for the codes by which Windows refuses a file that another program holds open.
bool heldByAnotherProgram(unsigned long code);
// Runs attempt (which returns 0 or a Win32 error code) until it succeeds, fails for another reason, or about a
// second has passed: virus scanners and indexers hold new files open for a moment.
unsigned long retryWhileHeld(const std::function<unsigned long()>& attempt);

} // namespace psd
