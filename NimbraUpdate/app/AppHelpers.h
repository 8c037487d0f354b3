// Helpers every part of the program uses.
#pragma once

#include <string>

namespace nimbra {

// Folder of the running program (from /proc/self/exe), without trailing slash.
std::string GetModuleFolder();

// Catalogue text of `id` (UTF-8), from the satellite resource library when one is
// loaded, else from the program's own catalogue; empty when the id is missing.
std::string LoadMessage(int id);

// Sends one log record to the log viewer when logging is on; 1 sent or logging
// off, 0 not delivered. No caller looks at the result.
int WriteLog(const std::string& text, const std::string& source = "NimbraUpdate");

// An extra receiver of every WriteLog line, whether or not the log channel is on:
// tests record the lines, the command-line front end may print them. nullptr
// removes it. Called on the thread that logs.
using LogSink = void (*)(const std::string& text, const std::string& source, void* context);
void SetLogSink(LogSink sink, void* context);

}  // namespace nimbra
