// Helpers every part of the program uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

namespace nimbra::res {
struct Resources;
}

namespace nimbra {

// Folder of the running program (from /proc/self/exe), without trailing slash.
// Every file the program uses beside itself is built from it.
std::string GetModuleFolder();

// Makes GetModuleFolder() answer `folder` instead (empty: the executable's folder
// again). Tests that run the program's code inside a test executable give it a
// program folder of its own this way. Call before anything else runs.
void SetModuleFolder(const std::string& folder);

// Catalogue text of `id` (UTF-8), from the satellite resource library when one is
// loaded, else from the program's own catalogue; empty when the id is missing.
std::string LoadMessage(int id);

// Catalogue text with its "%d" fields filled in order ("%%" is a percent sign).
// Catalogue texts can come from a satellite library, so they are never used as a
// printf format: a stray field stays as written, a missing value leaves "%d".
std::string FormatMessage(const std::string& format, std::initializer_list<int> values);

// Start-up: loads "NimbraUpdateRes.so" from the program's folder when it is there
// and hands over a complete resource set; from then on LoadMessage and
// CurrentResources() answer from it. 1 loaded, 0 not (the program's own are used).
int LoadResourceLibrary();
// The same with a satellite library at `path` (the command line's --lang).
int LoadResourceLibraryFrom(const std::string& path);
// The resources in use: the satellite library's or the program's own.
const res::Resources& CurrentResources();
// Back to the program's own resources (tests).
void UseBuiltInResources();

// Sends one log record to the log viewer when logging is on; 1 sent or logging
// off, 0 not delivered. No caller looks at the result.
int WriteLog(const std::string& text, const std::string& source = "NimbraUpdate");

// An extra receiver of every WriteLog line, whether or not the log channel is on:
// tests record the lines, the command-line front end may print them. nullptr
// removes it. Called on the thread that logs.
using LogSink = void (*)(const std::string& text, const std::string& source, void* context);
void SetLogSink(LogSink sink, void* context);

// Start-up: logging is on for the whole run exactly when a file "Skelmor" lies in
// the program's folder now. Sets and returns g_logViewerFound.
bool DetectLogViewer();

// The log viewer's datagram socket: "Skelmor" in $XDG_RUNTIME_DIR, else in the
// private folder /tmp/nimbra-<uid>.
std::string LogSocketPath();
// The folder LogSocketPath() lies in.
std::string LogSocketFolder();

// One log record: 296 bytes, all fields little-endian.
inline constexpr std::size_t kLogRecordSize = 296;
inline constexpr std::size_t kLogSourceOffset = 8;
inline constexpr std::size_t kLogSourceUnits = 64;
inline constexpr std::size_t kLogTextOffset = 136;
inline constexpr std::size_t kLogTextUnits = 80;
inline constexpr std::size_t kLogTextMaxChars = 76;  // counted in UTF-16 code units

// Builds the record of `text` and `source` at `time` (seconds since the epoch).
void BuildLogRecord(unsigned char (&record)[kLogRecordSize], const std::string& text,
                    const std::string& source, std::int64_t time);

// UTF-8 to UTF-16 code units; malformed input becomes U+FFFD, never read past.
std::u16string Utf8ToUtf16(const std::string& text);
// UTF-16 code units (up to a 0 unit or `count`) to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* units, std::size_t count);

}  // namespace nimbra
