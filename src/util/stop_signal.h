// What a stop request (SIGTERM, SIGINT, SIGHUP) does to a run of orvelt.
//
// Outside a claim window these signals end the process at once, as their
// default action would: nothing is half done that a retry does not redo.
// Inside one (from before a reply is claimed until its claim is confirmed
// or withdrawn) the signal is only noted: the MTA wait sees it
// (stop_signal_received) and stops the MTA, the claim is settled by what
// the MTA did, and the reply loop then ends the run with failstatus. Killed
// in the window, the run would leave a pending claim that holds the
// sender's reply back until its lease ends.
//
// orveltd, which serves many messages, handles its signals itself and
// never installs these handlers; stop_signal_received is 0 there until a
// stop that ran out of time notes one (stop_signal_note) for every thread.
#pragma once

#include <string>

// Installs the handlers for SIGTERM, SIGINT and SIGHUP. A signal that the
// process was started with ignored stays ignored.
void stop_signals_install();

// The stop signal noted in a claim window, or 0.
int stop_signal_received();

// Notes signal_number as received, for every thread, as the handler does
// in a claim window: orveltd's stop at the end of its drain limit, whose
// workers then settle their claims as a run of orvelt does on a signal.
void stop_signal_note(int signal_number);

// "stopped by SIGTERM" (SIGINT, SIGHUP; another number as "signal N").
std::string stop_signal_text(int signal_number);

// Marks a claim window while alive. Windows do not nest.
class StopSignalWindow {
 public:
  StopSignalWindow();
  ~StopSignalWindow();
  StopSignalWindow(const StopSignalWindow&) = delete;
  StopSignalWindow& operator=(const StopSignalWindow&) = delete;
};
