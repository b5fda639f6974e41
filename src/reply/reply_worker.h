// One answering thread's own state for a long-running server (orveltd):
// the messages it is handed are answered per recipient exactly as orvelt
// run once per recipient would answer them, with one directory session,
// one block store and one reply frame kept from message to message.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "mail/mail_state.h"
#include "reply/reply_loop.h"
#include "store/block_store.h"
#include "util/byte_source.h"
#include "util/outcome.h"
#include "util/strings.h"

// Not shared between threads: each thread owns its own. Requires the log to
// be open and the thread's g_config loaded; the store reads that record at
// every call, so a new configuration is assigned into it, not rebound.
class ReplyWorker {
 public:
  explicit ReplyWorker(std::unique_ptr<BlockStore> store);
  ReplyWorker(const ReplyWorker&) = delete;
  ReplyWorker& operator=(const ReplyWorker&) = delete;

  // Reads the message from source to its end (the header; the rest read
  // and dropped) with its receivers still to be named, as orvelt with -a
  // does: sender, normalised, as -s sender, or, when it is none or no
  // address, null_sender as -s '<>' (the null envelope sender). The caller
  // checks that the message arrived whole before it asks for answers.
  MailState read_message(ByteSource& source, const OptionalText& sender, bool null_sender);

  // Answers message (from read_message) for each of recipients, in order,
  // as `orvelt -a <recipient>` would, and gives one outcome each: done
  // where orvelt would end with 0 (answered, blocked, declined, no match,
  // a recipient that is no address), else the failure orvelt would end
  // with, which is logged here. Each recipient is judged alone (blacklist,
  // receiver limit, mail code), and a reply the MTA did not take fails its
  // own recipient only. After a directory failure the remaining recipients
  // get that failure too, unasked (logged once); the session is then closed
  // and the next message opens a new one. After an MTA that timed out, the
  // remaining recipients are not tried: each gets (and logs) "WARN/MAIL MTA
  // failed (not tried after a time-out): reply to <sender> not recorded".
  // After a stop was noted (util/stop_signal.h: orveltd's stop that cut
  // short), the recipients not yet tried get "CRIT/SYS stopped by
  // <signal>" (logged once). Starts with BlockStore::begin_run. Nothing
  // here ends the process.
  std::vector<Outcome> answer(const MailState& message, const StringList& recipients);

  // The header and footer files are read again by the next answer that
  // needs them (after the configuration was read again).
  void forget_frame() { replier_.frame.reset(); }

 private:
  Outcome answer_one(const MailState& message, const std::string& recipient);

  std::unique_ptr<BlockStore> store_;
  Replier replier_;
};
