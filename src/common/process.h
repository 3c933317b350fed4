#pragma once
// Starting another program that lives on by itself: the launcher, the folder
// rename copy, or the freshly replaced bootstrapper.

#include <string>
#include <string_view>

namespace zelk {

// text as one command-line argument, between double quotes, escaped by the rules
// the started program's CommandLineToArgvW (or C runtime) reads it with: backslashes
// are literal unless a double quote follows them, so those before a quote (the
// closing one included) are doubled, and a quote of the text is escaped. A link
// ending with "\" thus reaches the launcher as sent, not as an escaped quote.
std::wstring Quoted(std::wstring_view text);

// Waits at most timeoutMs (INFINITE: as long as it takes) for the process with that id to
// end. True when it has ended, or when there is nothing to wait for (no such process, or
// one that may not be watched); false when the time ran out. Never waits for this
// process itself, nor for id 0 (what text that is no number reads as): both would never
// end.
bool WaitForProcessEnd(unsigned long processId, unsigned long timeoutMs);

// The running program's own path, whole whatever its length; empty when Windows cannot
// give it (never a path cut at MAX_PATH, which would name another file).
std::wstring OwnProgramPath();

// CreateProcessW with no inherited handles, the caller's environment and the default
// window state; the new process is neither waited for nor watched.
bool StartProcess(const std::wstring& application, const std::wstring& commandLine,
                  const std::wstring& currentDirectory);

}  // namespace zelk
