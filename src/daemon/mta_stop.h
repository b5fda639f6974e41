// The end of the hand-offs to the MTA that orveltd's workers wait for, when
// a stop has to cut them short.
#pragma once

// Notes the stop for every thread as orvelt notes a SIGTERM in a claim
// window (util/stop_signal.h), so that no MTA is started any more and each
// reply's claim is settled by what its MTA did (confirmed when it had
// exited 0 already, else withdrawn), and kills (SIGKILL) the process group
// of every MTA still running: every child process of this one that has not
// ended, each the leader of a group of its own (one caught before it
// became that leader is killed alone). An MTA that ended by itself but is
// not yet collected is left alone, with what it left running. Call it
// again until the workers are done: an MTA started just before the stop
// was noted is found by the next call.
void stop_running_mtas();
