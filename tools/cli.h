// zevora-cli's commands and what they share.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loader.h"
#include "song.h"

// Why a file could not be loaded ("cannot open (...)", "not an XM
// module"...). Never blocks, whatever the file is.
std::string LoadFailureText(const char* file, LoadError error);
// One line on standard error naming the file and why it could not be
// loaded; returns the exit code 1.
int LoadFailureMessage(const char* file, LoadError error);

// The module a command plays: FILE, or the built-in demo without one.
struct ModuleSource {
  const void* source;
  std::int32_t kind;
  const char* label;  // for messages
};
ModuleSource SourceFor(const char* file);
// LoadFailureText and LoadFailureMessage for a module source (the built-in
// demo names itself).
std::string LoadFailureText(const ModuleSource& module, LoadError error);
int ReportLoadFailure(const ModuleSource& module, LoadError error);

struct SongDeleter {
  void operator()(Song* song) const { DestroySong(song); }
};
using SongPtr = std::unique_ptr<Song, SongDeleter>;
// The module of a source as a song of its own; null (with `error` set)
// when it cannot be loaded.
SongPtr LoadModuleSong(const ModuleSource& module, LoadError& error);

// A file name as a message shows it: safe on a terminal (see TerminalText).
std::string Shown(const std::string& name);

// --help or -h.
bool IsHelpOption(const char* arg);
// The first "--" ends a command's options: every argument after it is a
// FILE, also one that begins with -. True where `arg` is that "--" (which
// sets `ended`) or comes after it (then added to `files`).
bool TakenAfterOptions(const char* arg, bool& ended, std::vector<const char*>& files);
// "zevora-cli: COMMAND: unknown option OPTION" on standard error; returns
// the exit code 2.
int UnknownOption(const char* command, const char* option);
// Help text on standard output; returns the exit code 0 (1 if it cannot be
// written).
int PrintHelp(const char* text);

// Reports a write error on standard output (after flushing it); returns
// true when everything written reached it. `failedWith`: the error of a
// write that failed earlier (0: none), which the report gives.
bool StandardOutputOk(int failedWith = 0);

int InfoCommand(int argc, char** argv);
int RenderCommand(int argc, char** argv);
int PlayCommand(int argc, char** argv);
