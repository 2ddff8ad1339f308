// What a signal that stops zevora-cli (Ctrl-C, SIGTERM, a hang-up...) does
// on its way out: files of the program's own name are removed, a status
// line on the terminal is cleared, and outputs being put into place are
// never cut in the middle, with one thread writing or several.
#pragma once

#include <signal.h>

#include <string>

// A file of the program's own name that a stop signal removes; call with
// the stop signals held. Returns its slot, or -1 when there is no room (the
// file is then not removed by a signal).
int RegisterNamedFile(int folder, const std::string& leaf);
// Forgets a registered file (slot -1: nothing), and sets slot to -1.
void UnregisterNamedFile(int& slot);

// From now on a stop signal also clears the line a status line is written
// on (descriptor fd, a terminal) before the program ends.
void ClearLineOnStopSignal(int fd);

// Holds back the signals that stop the program for as long as it lives
// (they take effect when it ends), so that putting several outputs into
// place, or taking them back, is never cut in the middle. With threads
// started under StopSignalsTaken, a signal waits until no thread holds
// them back.
class StopSignalsHeld {
 public:
  StopSignalsHeld();
  ~StopSignalsHeld();
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

 private:
  sigset_t saved_;
  bool outermost_;
};

// For a thread that starts others which write outputs: while it lives the
// stop signals are held back in this thread and in every thread it starts,
// and Poll takes them. A signal taken waits for every StopSignalsHeld of
// every thread to end, then does what it does to a program with one thread
// (files removed, line cleared) and ends the program as it would have ended
// it.
class StopSignalsTaken {
 public:
  StopSignalsTaken();
  ~StopSignalsTaken();  // the signals come through again (one that came meanwhile takes effect)
  StopSignalsTaken(const StopSignalsTaken&) = delete;
  StopSignalsTaken& operator=(const StopSignalsTaken&) = delete;
  // Returns at once where no stop signal has come.
  void Poll();

 private:
  sigset_t saved_;
};
