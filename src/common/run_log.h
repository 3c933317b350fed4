#pragma once
// The log of every run, for support: "zelk.log" in the installation's logs folder, one
// line per step. A run's outcome never depends on it: a line that cannot be written is
// dropped, nothing throws, and the caller's last error survives every call.

#include <filesystem>
#include <string>
#include <string_view>

#include "common/log_text.h"

namespace zelk {

// From now on lines go to logsDir\zelk.log, as long as that folder exists (it is never
// created here: a removed installation must not grow a log again). Until then, and in
// the modes that never call it, lines are dropped; an empty logsDir drops them again.
// Also starts the run's clock.
void BeginRunLog(const std::filesystem::path& logsDir);

// Appends one line with the current UTC time; when the log would pass 1 MiB, it is
// first renamed to zelk.log.1 (replacing the older one) and a new one begins.
void WriteLogLine(std::string_view message);

// One line from its pieces: Log("file ", path, ": ", size, " bytes from ", url).
template <typename... Parts>
void Log(const Parts&... parts) {
    try {
        WriteLogLine(LogMessage(parts...));
    } catch (...) {
        // Out of memory composing the line: the log goes without it.
    }
}

// Seconds since BeginRunLog.
double RunLogSeconds();

}  // namespace zelk
